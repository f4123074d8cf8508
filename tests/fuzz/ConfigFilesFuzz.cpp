// Any configuration and language file: loading shows a message or succeeds,
// and what a successful load saves loads again to the same settings.
#include "tests/app/WindowSupport.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

struct Settings {
  int32_t port, poll, reserved, park1, park2, left, top;
  QString language;
  bool operator==(const Settings &) const = default;
};

Settings Of(const TForm1 &f) {
  return {f.PortNumber,    f.PollInterval, f.ReservedSetting, f.ParkPosition1,
          f.ParkPosition2, f.WindowLeft,   f.WindowTop,       f.LanguageCode};
}

int boxes = 0;

struct Rig {
  Rig() {
    App();
    fs::copy_file(DataDir() + "/Windrose_AZ.jpg", dir / "Windrose_AZ.jpg");
    // Every port a file may name is missing: the port never opens.
    for (int n = 0; n <= 50; ++n)
      fs::create_symlink(dir / "no-such-device", dir / ("COM" + std::to_string(n)));
    WriteFile(dir / "Zelkor_M.ini", CrLf({"3", "EN", "1000", "10", "0", "0", "1", "50", "50"}));
    WriteFile(dir / "Zelkor_M_language.csv", "EN;02;Exit\r\n");
    SetMessageBoxHandler([](const QString &, const QString &) { ++boxes; });
    platform::SetStartDirectory(dir.string());
    // No device of the machine is offered for the missing ports.
    platform::SetSerialRoots({(dir / "no-sys").string(), (dir / "no-dev").string()});
    home = fs::current_path();
    fs::current_path(dir);
    form = std::make_unique<TForm1>();
    fs::current_path(home);
    form->Pause = [](int) {};
    form->Terminate = [] {};
  }
  support::TempDir folder{"fuzz-files"}; // the rig lives to the end: never removed
  const fs::path dir = folder.Path();
  fs::path home; // the loads move into dir; the fuzzer's corpus paths are relative
  std::unique_ptr<TForm1> form;
};

Rig &TheRig() {
  static Rig *rig = new Rig;
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
  if (size < 2)
    return 0;
  // The first two bytes say how much of the rest is the configuration file.
  const size_t split = std::min<size_t>(size - 2, size_t(data[0] | data[1] << 8));
  const std::string config(reinterpret_cast<const char *>(data + 2), split);
  const std::string language(reinterpret_cast<const char *>(data + 2 + split), size - 2 - split);
  WriteFile(rig.dir / "Zelkor_M.ini", config);
  WriteFile(rig.dir / "Zelkor_M_language.csv", language);

  TForm1 &f = *rig.form;
  // One message per load at most.
  boxes = 0;
  Guarded([&] { f.LoadLanguage(); });
  if (boxes > 1)
    std::abort();
  for (const QString &t : f.LanguageTexts)
    if (t.size() > 100)
      std::abort();
  boxes = 0;
  Guarded([&] { f.LoadConfig(); });
  fs::current_path(rig.home);
  if (boxes > 1)
    std::abort();
  if (boxes != 0)
    return 0;

  // Loaded: saving and loading again must give the same settings.
  const Settings loaded = Of(f);
  Guarded([&] { f.SaveConfig(); });
  Guarded([&] { f.LoadConfig(); });
  fs::current_path(rig.home);
  if (boxes != 0 || !(Of(f) == loaded)) {
    std::fprintf(stderr, "saved settings do not load back (%d messages)\n", boxes);
    std::abort();
  }
  return 0;
}
