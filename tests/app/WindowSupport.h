#pragma once
// Support for the window tests: the application object, a working directory
// with its files and the recorded message boxes.
#include "app/Application.h"
#include "app/DialPictures.h"
#include "app/JpegImage.h"
#include "app/NumEditFields.h"
#include "app/Unit1.h"
#include "platform/SerialDevice.h"
#include "platform/SerialPorts.h"
#include "tests/support/EventLoop.h"
#include "tests/support/Files.h"
#include "tests/support/PtyPair.h"
#include "tests/support/TempDir.h"

#include <QCoreApplication>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using support::PtyPair;
using support::ReadFile;
using support::RunEventsFor;
using support::RunEventsUntil;
using support::Scaled;
using support::WriteFile;

inline TApplication &App() {
  static int argc = 1;
  static char name[] = "zelkor";
  static char *argv[] = {name, nullptr};
  // Never destroyed: Qt's own statics may already be gone at exit.
  static TApplication *app = new TApplication(argc, argv);
  return *app;
}

inline std::string DataDir() {
  const char *d = std::getenv("ZK_DATA_DIR");
  return d ? d : "data";
}

inline std::string CrLf(std::initializer_list<const char *> lines) {
  std::string s;
  for (const char *l : lines)
    s += std::string(l) + "\r\n";
  return s;
}

struct Box {
  QString title;
  QString text;
};

class WindowFixture {
public:
  WindowFixture() {
    App();
    fs::copy_file(DataDir() + "/Zelkor_M_language.csv", dir / "Zelkor_M_language.csv");
    fs::copy_file(DataDir() + "/Windrose_AZ.jpg", dir / "Windrose_AZ.jpg");
    SetMessageBoxHandler([this](const QString &title, const QString &text) { boxes.push_back({title, text}); });
    // Devices are looked for in an empty tree: no device of the machine is
    // offered when a port is missing.
    platform::SetSerialRoots({(dir / "no-sys").string(), (dir / "no-dev").string()});
  }
  ~WindowFixture() {
    form.reset();
    SetMessageBoxHandler(nullptr);
    std::error_code ec;
    fs::current_path("/", ec); // out of the folder before it goes
  }

  // Starts the program's window in the working directory.
  void Create() {
    platform::SetStartDirectory(dir.string());
    fs::current_path(dir);
    form = std::make_unique<TForm1>();
    // The window's pauses are noted, not waited out: most tests do not
    // measure them. Those that do call PauseForReal().
    form->Pause = [this](int ms) { pauses.push_back(ms); };
    form->Terminate = [this] { ++terminated; };
    form->OnSend = [this](const std::vector<uint8_t> &bytes) {
      sent.push_back({std::string(bytes.begin(), bytes.end()), std::chrono::steady_clock::now()});
    };
  }
  // The first time the window handed `bytes` to the port at or after the
  // `from`-th send; the end of the record when it never did.
  struct Sent {
    std::string bytes;
    std::chrono::steady_clock::time_point at;
  };
  std::size_t SentIndex(const std::string &bytes, std::size_t from = 0) const {
    for (std::size_t i = from; i < sent.size(); ++i)
      if (sent[i].bytes == bytes)
        return i;
    return sent.size();
  }
  // The window on COM1, a far end the test plays, polling every `pollMs`.
  void CreateOnFarEnd(int pollMs, const char *language = "EN") {
    peer = std::make_unique<PtyPair>(dir / "COM1");
    SetConfig(CrLf({"1", language, std::to_string(pollMs).c_str(), "10", "0", "0", "1", "50", "50"}));
    Create();
  }
  // The window's pauses block its thread as in the program (and are noted).
  void PauseForReal() {
    form->Pause = [this](int ms) {
      pauses.push_back(ms);
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    };
  }

  std::string Config() const { return ReadFile(dir / "Zelkor_M.ini"); }
  void SetConfig(const std::string &content) const { WriteFile(dir / "Zelkor_M.ini", content); }

  // The messages shown, less those about a port (missing on purpose).
  std::vector<Box> Complaints() const {
    std::vector<Box> out;
    for (const Box &b : boxes)
      if (!b.text.startsWith("Port COM"))
        out.push_back(b);
    return out;
  }

  int MemoLines() const { return form->Memo1->document()->blockCount(); }
  QString MemoLine(int i) const { return form->Memo1->document()->findBlockByNumber(i).text(); }
  QString LastMemoLine() const { return MemoLine(MemoLines() - 1); }

private:
  support::TempDir folder_{"app-window"};

public:
  const fs::path dir = folder_.Path();
  std::unique_ptr<TForm1> form;
  std::unique_ptr<PtyPair> peer; // after CreateOnFarEnd
  std::vector<Box> boxes;
  std::vector<int> pauses;
  std::vector<Sent> sent; // what the window handed to the port, and when
  int terminated = 0;
};

// The codes of the bytes, each followed by a space, as the trace shows them.
inline QString Codes(const std::string &bytes) {
  QString s;
  for (unsigned char c : bytes)
    s += QString::number(c) + ' ';
  return s;
}
