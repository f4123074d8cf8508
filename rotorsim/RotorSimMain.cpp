// rotorsim: a simulated rotator control unit on a pseudo-terminal.
#include "rotorsim/RotorSim.h"
#include "rotorsim/SocketBridge.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <system_error>

int main(int argc, char **argv) {
  rotorsim::ProgramOptions opts;
  std::string err = rotorsim::parseArguments({argv + 1, argv + argc}, opts);
  if (!err.empty()) {
    std::cerr << "rotorsim: " << err << "\nTry 'rotorsim --help'.\n";
    return 2;
  }
  if (opts.help) {
    std::cout << rotorsim::usageText();
    return 0;
  }

  // Signals are taken synchronously below, so they must be blocked before the
  // server thread starts and inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  // A closed output pipe must not kill us before the link is removed.
  std::signal(SIGPIPE, SIG_IGN);

  std::ofstream log;
  if (!opts.logPath.empty()) {
    log.open(opts.logPath, std::ios::out | std::ios::trunc);
    if (!log) {
      std::cerr << "rotorsim: cannot write " << opts.logPath << "\n";
      return 1;
    }
  }

  // Missing folders on the way to the link are made, and taken away again
  // at the end if they are still empty.
  std::vector<std::filesystem::path> madeDirs;
  if (!opts.linkPath.empty()) {
    std::filesystem::path dir = std::filesystem::absolute(opts.linkPath).parent_path();
    for (; !dir.empty() && !std::filesystem::exists(dir); dir = dir.parent_path())
      madeDirs.insert(madeDirs.begin(), dir);
    for (const auto &d : madeDirs) {
      std::error_code ec;
      if (!std::filesystem::create_directory(d, ec) && ec) {
        std::cerr << "rotorsim: cannot make " << d.string() << ": " << ec.message() << "\n";
        return 1;
      }
    }
  }

  rotorsim::TimePoint origin = std::chrono::steady_clock::now();
  rotorsim::ServerOptions server;
  server.linkPath = opts.linkPath;
  if (log.is_open()) {
    server.onCommand = [&log, &origin](const rotorsim::CommandRecord &rec) {
      log << rotorsim::formatLogLine(rec, origin) << '\n' << std::flush;
    };
  }

  int status = 0;
  try {
    rotorsim::PtyServer unit(opts.unit, server);
    std::cout << unit.devicePath() << std::endl;
    if (!unit.linkPath().empty())
      std::cerr << "rotorsim: " << unit.linkPath() << " -> " << unit.devicePath() << "\n";
    std::unique_ptr<rotorsim::SocketBridge> bridge;
    if (!opts.socketPath.empty()) {
      bridge = std::make_unique<rotorsim::SocketBridge>(opts.socketPath, unit.devicePath());
      std::cerr << "rotorsim: serving the line on " << bridge->socketPath() << "\n";
    }

    for (;;) {
      timespec slice{0, 100 * 1000 * 1000};
      int sig = sigtimedwait(&signals, nullptr, &slice);
      if (sig > 0)
        break;
      if (unit.hungUp()) {
        std::cerr << "rotorsim: hung up after " << unit.commandsHandled() << " commands\n";
        break;
      }
    }
    bridge.reset();
    unit.hangUp();
    if (log.is_open()) {
      if (auto rest = unit.pendingCommand())
        log << rotorsim::formatLogLine(*rest, origin) << '\n';
    }
  } catch (const std::system_error &e) {
    std::cerr << e.what() << "\n";
    status = 1;
  }
  for (auto d = madeDirs.rbegin(); d != madeDirs.rend(); ++d) {
    std::error_code ec;
    std::filesystem::remove(*d, ec); // only removes an empty folder
  }
  return status;
}
