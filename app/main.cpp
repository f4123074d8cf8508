// zelkor: the rotator controller. Its files live in the directory it is
// started from; --rotctld lets network clients drive it; --help explains.
#include "app/Application.h"
#include "app/NetServer.h"
#include "app/ProgramOptions.h"
#include "app/Unit1.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

int main(int argc, char **argv) {
  ProgramOptions options;
  const std::string error = ParseProgramOptions(std::vector<std::string>(argv + 1, argv + argc), options);
  if (!error.empty()) {
    std::fprintf(stderr, "zelkor: %s\n%s\n", error.c_str(), UsageLine());
    return 2;
  }
  if (options.help) {
    std::fputs(HelpText().c_str(), stdout);
    return 0;
  }
  BeginControllerRun();
  int rc = 0;
  {
    TApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zelkor"));
    // Lets the desktop match the window to its menu entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("zelkor"));
    auto form = std::make_unique<TForm1>();
    auto network = StartNetworkControl(*form, options);
    rc = app.exec();
    network.reset(); // its clients refer to the window
    form.reset();    // the window's destruction saves the settings again
  }
  EndControllerRun();
  return rc;
}
