// Byte streams, cut at points the input chooses, into the running window's
// report handler through a pseudo-terminal: every byte is traced once or
// still waiting, no more than 15 wait, the labels show numbers, nothing is
// raised.
#include "tests/faults/ReportStream.h"

#include <cstdint>
#include <cstdlib>
#include <cstdio>

namespace {

struct Rig {
  Rig() {
    App();
    fs::copy_file(DataDir() + "/Zelkor_M_language.csv", dir / "Zelkor_M_language.csv");
    fs::copy_file(DataDir() + "/Windrose_AZ.jpg", dir / "Windrose_AZ.jpg");
    WriteFile(dir / "Zelkor_M.ini", CrLf({"1", "EN", "5000", "10", "0", "0", "1", "50", "50"}));
    SetMessageBoxHandler([](const QString &, const QString &text) {
      std::fprintf(stderr, "message box: %s\n", text.toStdString().c_str());
      std::abort();
    });
    end = std::make_unique<support::PtyPair>(dir / "COM1");
    platform::SetStartDirectory(dir.string());
    const fs::path home = fs::current_path();
    fs::current_path(dir);
    form = std::make_unique<TForm1>();
    fs::current_path(home); // the fuzzer's corpus paths are relative
    form->Pause = [](int) {};
    form->Terminate = [] {};
    form->Timer1->SetEnabled(false); // the fuzzer plays the unit
    if (!form->ApdComPort1.Open())
      std::abort();
  }
  support::TempDir folder{"fuzz-report"}; // the rig lives to the end: never removed
  const fs::path dir = folder.Path();
  std::unique_ptr<support::PtyPair> end;
  std::unique_ptr<TForm1> form;
};

Rig &TheRig() {
  static Rig *rig = new Rig; // lives to the end; the fuzzer exits without unwinding
  return *rig;
}

} // namespace

// The window is built before the first input, so its start is not taken for
// coverage of the inputs.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  TheRig();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Rig &rig = TheRig();
  if (size == 0)
    return 0;
  // Each input starts from a freshly opened port, an empty ring, a new reader
  // and a clean trace, so an input's verdict never hangs on the ones before it.
  rig.form->ApdComPort1.SetOpen(false);
  rig.form->Replies = {};
  rig.form->ApdComPort1.SetOpen(true);
  rig.form->Memo1->setPlainText(QStringLiteral("Memo1"));
  faults::ReportStream stream(*rig.form, *rig.end);

  // The first byte seeds the cuts; pieces are 1..32 bytes.
  uint32_t cut = data[0] * 2654435761u + 1;
  size_t at = 1;
  while (at < size) {
    cut = cut * 1103515245u + 12345u;
    const size_t piece = std::min<size_t>(size - at, 1 + (cut >> 16) % 32);
    stream.Piece(std::string(reinterpret_cast<const char *>(data + at), piece));
    at += piece;
  }
  const std::string problem = stream.Settle();
  if (!problem.empty()) {
    std::fprintf(stderr, "not settled: %s\n", problem.c_str());
    std::abort();
  }
  // An azimuth-only report leaves the elevation empty.
  const bool elevationShown = faults::ShowsDegrees(rig.form->Label7) || rig.form->Label7->text().isEmpty();
  if (!faults::ShowsDegrees(rig.form->Label6) || !elevationShown) {
    std::fprintf(stderr, "labels: %s %s\n", rig.form->Label6->text().toStdString().c_str(),
                 rig.form->Label7->text().toStdString().c_str());
    std::abort();
  }
  return 0;
}
