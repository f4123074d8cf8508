// "Exit" ends the program whatever the settings and language files hold and
// whether the settings can be written: the event loop returns, and the
// window's end saves once, or shows why its gather failed and saves nothing.
// The close button may refuse meanwhile; Exit may not.
#include "tests/faults/WindowFaults.h"

#include <QPushButton>
#include <QTimer>

#include <optional>
#include <sys/inotify.h>
#include <sys/stat.h>

namespace {

using namespace faults;

// Saves of the settings file, as the folder sees them: a finished file
// renamed onto it, or the file itself written and closed.
class SaveWatch {
public:
  explicit SaveWatch(const fs::path &dir) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    inotify_add_watch(fd_, dir.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE);
  }
  ~SaveWatch() { close(fd_); }
  int Saves() {
    alignas(inotify_event) char buf[8192];
    for (;;) {
      const ssize_t n = read(fd_, buf, sizeof buf);
      if (n <= 0)
        return saves_;
      for (ssize_t at = 0; at < n;) {
        const auto *e = reinterpret_cast<const inotify_event *>(buf + at);
        if (e->len > 0 && std::string(e->name) == "Zelkor_M.ini")
          ++saves_;
        at += ssize_t(sizeof(inotify_event) + e->len);
      }
    }
  }

private:
  int fd_;
  int saves_ = 0;
};

class ExitAlways : public WindowFaults {
protected:
  void SetUp() override {
    // Every port the files may name is missing, so no real device takes part.
    for (int n = 0; n <= 50; ++n)
      fs::create_symlink(dir / "no-such-device", dir / ("COM" + std::to_string(n)));
  }
  // The window as the program makes it, with its own way of ending.
  void CreateAsTheProgram() {
    platform::SetStartDirectory(dir.string());
    fs::current_path(dir);
    form = std::make_unique<TForm1>();
    form->Pause = [this](int ms) { pauses.push_back(ms); };
  }
  // Clicks "Exit" inside the running event loop; the loop's result, or 77
  // when the click did not end it.
  int ClickExit() {
    QTimer::singleShot(0, form->Button1, [this] { form->Button1->click(); });
    QTimer stuck;
    stuck.setSingleShot(true);
    QObject::connect(&stuck, &QTimer::timeout, [] { QCoreApplication::exit(77); });
    stuck.start(Scaled(15000ms));
    return QApplication::exec();
  }
};

TEST_F(ExitAlways, WhateverTheFilesHold) {
  const std::string sound = CrLf({"3", "EN", "1000", "10", "0", "0", "1", "50", "50"});
  const std::string goodLanguage = "EN;02;Exit\r\n";
  struct Case {
    const char *name;
    std::string config;
    std::string language;
  } cases[] = {
      {"five lines", CrLf({"3", "EN", "1000", "10", "0"}), goodLanguage},
      {"empty", "", goodLanguage},
      {"huge number", CrLf({"99999999999999999999", "EN", "1000", "10", "0", "0", "1", "50", "50"}), goodLanguage},
      {"binary junk", std::string("\x01\xFF\x00\x80junk\r\n\xC3", 11), goodLanguage},
      {"port -1", CrLf({"-1", "EN", "1000", "10", "0", "0", "1", "50", "50"}), goodLanguage},
      {"port 40", CrLf({"40", "EN", "1000", "10", "0", "0", "1", "50", "50"}), goodLanguage},
      {"port 2147483647", CrLf({"2147483647", "EN", "1000", "10", "0", "0", "1", "50", "50"}), goodLanguage},
      {"entry number ab", sound, "EN;ab;x\r\n"},
      {"entry number not UTF-8", sound, "EN;\xE4\xF6;x\r\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SetConfig(c.config);
    WriteFile(dir / "Zelkor_M_language.csv", c.language);
    boxes.clear();
    pauses.clear();
    CreateAsTheProgram();
    SaveWatch watch(dir);
    // The close button refuses: its gather fails at the empty port box.
    EXPECT_FALSE(form->close());
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(ClickExit(), 0) << "Exit did not end the program";
    EXPECT_EQ(pauses, std::vector<int>{500});
    EXPECT_FALSE(form->ApdComPort1.Open());
    const size_t before = boxes.size();
    form.reset();
    // The end's failing gather is shown, and nothing is saved.
    ASSERT_EQ(boxes.size(), before + 1);
    EXPECT_EQ(boxes.back().text, QString::fromUtf8("'' ist kein gültiger Integerwert."));
    EXPECT_EQ(watch.Saves(), 0);
    EXPECT_EQ(Config(), c.config);
  }
}

TEST_F(ExitAlways, SavesOnceWithSoundFiles) {
  SetConfig(CrLf({"3", "EN", "1000", "10", "0", "0", "1", "50", "50"}));
  CreateAsTheProgram();
  form->move(120, 80);
  SaveWatch watch(dir);
  EXPECT_EQ(ClickExit(), 0);
  EXPECT_EQ(watch.Saves(), 0); // nothing before the window's end
  form.reset();
  EXPECT_EQ(watch.Saves(), 1);
  EXPECT_EQ(Config(), CrLf({"3", "EN", "1000", "10", "0", "0", "1", "120", "80"}));
  for (const Box &b : boxes)
    EXPECT_TRUE(b.text.startsWith("Port COM3")) << b.text.toStdString();
}

// The settings cannot be written: at start (the file cannot be created) or
// only at the end (the file was replaced by something that cannot be
// overwritten). Either way "Exit" ends the program with the reason shown.
TEST_F(ExitAlways, WhenTheSettingsCannotBeWritten) {
  struct Case {
    const char *name;
    std::optional<std::string> config; // none: no file at start
    bool blockedAtStart;
  } cases[] = {
      {"cannot be created", std::nullopt, true},
      {"cannot be replaced at the end", CrLf({"3", "EN", "1000", "10", "0", "0", "1", "50", "50"}), false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::error_code ec;
    fs::remove_all(dir / "Zelkor_M.ini", ec);
    if (c.config)
      SetConfig(*c.config);
    else
      fs::create_directories(dir / "Zelkor_M.ini" / "in the way");
    boxes.clear();
    CreateAsTheProgram();
    if (!c.blockedAtStart) {
      fs::remove(dir / "Zelkor_M.ini");
      fs::create_directories(dir / "Zelkor_M.ini" / "in the way");
    }
    EXPECT_EQ(ClickExit(), 0);
    const size_t before = boxes.size();
    form.reset();
    ASSERT_EQ(boxes.size(), before + 1);
    const std::string shown = boxes.back().text.toStdString();
    if (c.blockedAtStart)
      EXPECT_EQ(shown, "'' ist kein gültiger Integerwert.");
    else
      EXPECT_EQ(shown.rfind("Datei " + (dir / "Zelkor_M.ini").string() + " kann nicht", 0), 0u) << shown;
    EXPECT_TRUE(fs::is_directory(dir / "Zelkor_M.ini"));
  }
}

TEST_F(ExitAlways, WhenTheStartFolderIsReadOnly) {
  if (geteuid() == 0)
    GTEST_SKIP() << "root writes into read-only folders; WhenTheSettingsCannotBeWritten covers the refusal";
  chmod(dir.c_str(), 0555);
  CreateAsTheProgram();
  EXPECT_EQ(ClickExit(), 0);
  form.reset();
  chmod(dir.c_str(), 0755);
  ASSERT_FALSE(boxes.empty());
  EXPECT_EQ(boxes.back().text, QString::fromUtf8("'' ist kein gültiger Integerwert."));
  EXPECT_FALSE(fs::exists(dir / "Zelkor_M.ini"));
}

} // namespace
