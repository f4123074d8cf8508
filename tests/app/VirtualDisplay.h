#pragma once
// A private X server for tests that need real screen pixels: Xvfb on a
// display number it picks itself, at 96 dpi, gone when the object is.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

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
    char logName[] = "/tmp/zk-xvfb-XXXXXX";
    const int log = mkstemp(logName);
    if (log >= 0) {
      unlink(logName);
      fcntl(log, F_SETFD, FD_CLOEXEC);
    }
    // -displayfd: the server chooses a free display and writes its number
    // to fd 3 once it accepts connections.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (log >= 0) {
      posix_spawn_file_actions_adddup2(&actions, log, 1);
      posix_spawn_file_actions_adddup2(&actions, log, 2);
    }
    const char *argv[] = {"Xvfb", "-displayfd", "3", "-screen", "0", "1280x1024x24", "-dpi", "96",
                          "-nolisten", "tcp", "-noreset", nullptr};
    const int rc = posix_spawnp(&pid_, "Xvfb", &actions, nullptr, const_cast<char **>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
      pid_ = -1;
      close(fds[0]);
      if (log >= 0)
        close(log);
      missing = rc == ENOENT;
      why = missing ? "Xvfb is not installed (Debian package xvfb)" : "Xvfb could not be started";
      return false;
    }
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (number.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd p{fds[0], POLLIN, 0};
      if (poll(&p, 1, 200) <= 0)
        continue;
      char buf[32];
      const ssize_t n = read(fds[0], buf, sizeof buf);
      if (n <= 0)
        break; // the server ended before it was ready
      number.append(buf, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    if (number.find('\n') == std::string::npos) {
      why = "Xvfb did not come up: " + ReadLog(log);
      if (log >= 0)
        close(log);
      Stop();
      return false;
    }
    if (log >= 0)
      close(log);
    number.erase(number.find('\n'));
    display_ = ":" + number;
    return true;
  }

  const std::string &Name() const { return display_; }

  void Stop() {
    if (pid_ <= 0)
      return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

private:
  static std::string ReadLog(int fd) {
    if (fd < 0)
      return {};
    std::string text;
    char buf[512];
    lseek(fd, 0, SEEK_SET);
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 && text.size() < 4000)
      text.append(buf, static_cast<std::size_t>(n));
    return text;
  }

  pid_t pid_ = -1;
  std::string display_;
};
