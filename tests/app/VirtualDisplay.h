#pragma once
// A private X server for tests that need real screen pixels: Xvfb on a
// display number it picks itself, at 96 dpi, gone when the object is.
#include "tests/support/ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <memory>
#include <string>

#include <fcntl.h>
#include <unistd.h>

class VirtualDisplay {
public:
  VirtualDisplay() = default;
  VirtualDisplay(const VirtualDisplay &) = delete;
  VirtualDisplay &operator=(const VirtualDisplay &) = delete;
  ~VirtualDisplay() { Stop(); }

  // Starts the server; false with the reason in `why`. `missing` tells
  // that there is no Xvfb to start at all.
  bool Start(std::string &why, bool &missing) {
    missing = false;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
      why = "pipe failed";
      return false;
    }
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    // -displayfd: the server chooses a free display and writes its number
    // to fd 3 once it accepts connections.
    server_ = std::make_unique<support::ChildProcess>(
        std::vector<std::string>{"Xvfb", "-displayfd", "3", "-screen", "0", "1280x1024x24", "-dpi", "96", "-nolisten",
                                 "tcp", "-noreset"},
        support::Env{}, std::filesystem::path{}, std::vector<std::pair<int, int>>{{fds[1], 3}});
    close(fds[1]);
    if (!server_->Started()) {
      close(fds[0]);
      missing = server_->StartError() == ENOENT;
      why = missing ? "Xvfb is not installed (Debian package xvfb)" : "Xvfb could not be started";
      server_.reset();
      return false;
    }
    std::string number;
    support::WaitFor(
        [&] {
          char buf[32];
          const ssize_t n = read(fds[0], buf, sizeof buf);
          if (n > 0)
            number.append(buf, static_cast<std::size_t>(n));
          // n == 0: the server ended before it was ready
          return n == 0 || number.find('\n') != std::string::npos;
        },
        std::chrono::seconds(30));
    close(fds[0]);
    if (number.find('\n') == std::string::npos) {
      why = "Xvfb did not come up: " + (server_->Out() + server_->Err()).substr(0, 4000);
      Stop();
      return false;
    }
    number.erase(number.find('\n'));
    display_ = ":" + number;
    return true;
  }

  const std::string &Name() const { return display_; }

  void Stop() {
    if (!server_)
      return;
    server_->Signal(SIGTERM);
    server_->Wait(support::kDeadline);
    server_.reset();
  }

private:
  std::unique_ptr<support::ChildProcess> server_;
  std::string display_;
};
