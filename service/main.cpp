// zelkord: the rotator controller as a service, without a display. Its
// files live in the folder it is started from; --help explains.
#include "controller/ProcessSetup.h"
#include "service/Service.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

int gSignalPipe[2] = {-1, -1};

extern "C" void OnSignal(int signal) {
  const int saved = errno;
  const char byte = char(signal);
  (void)!write(gSignalPipe[1], &byte, 1);
  errno = saved;
}

// SIGTERM and SIGINT end the event loop; the rest of the end runs as usual.
bool CatchEndSignals() {
  if (pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
    return false;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  return sigaction(SIGTERM, &sa, nullptr) == 0 && sigaction(SIGINT, &sa, nullptr) == 0;
}

} // namespace

int main(int argc, char **argv) {
  ServiceOptions options;
  const std::string error = ParseServiceOptions(std::vector<std::string>(argv + 1, argv + argc), options);
  if (!error.empty()) {
    std::fprintf(stderr, "zelkord: %s\n%s\n", error.c_str(), ServiceUsageLine());
    return 2;
  }
  if (options.help) {
    std::fputs(ServiceHelpText().c_str(), stdout);
    return 0;
  }
  if (!CatchEndSignals()) {
    std::perror("zelkord: signals");
    return 1;
  }
  BeginControllerRun();
  int rc = 0;
  {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zelkord"));
    const TControllerProcess process(
        [](const std::exception &e) { LogLine(QStringLiteral("error: ") + QString::fromStdString(e.what())); });
    QSocketNotifier endSignals(gSignalPipe[0], QSocketNotifier::Read);
    QObject::connect(&endSignals, &QSocketNotifier::activated, &app, [] {
      char byte = 0;
      while (read(gSignalPipe[0], &byte, 1) == 1) {
      }
      LogLine(QStringLiteral("%1: ending").arg(byte == SIGINT ? QStringLiteral("SIGINT") : QStringLiteral("SIGTERM")));
      QCoreApplication::quit();
    });
    {
      ZelkorService service(options);
      rc = service.Start();
      if (rc == 0)
        rc = app.exec();
      service.Stop();
    }
  }
  EndControllerRun();
  return rc;
}
