#pragma once
// The user's end of the simulated unit's line, for tests: a raw,
// non-blocking descriptor with reads that wait on a deadline.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "tests/support/Wait.h"

namespace farend {

using Clock = std::chrono::steady_clock;
using support::kDeadline;

inline int remainingMs(Clock::time_point end) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
  return ms < 0 ? 0 : int(ms);
}

class Line {
public:
  explicit Line(const std::string &path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) throw std::runtime_error("cannot open " + path);
    termios tio{};
    ::tcgetattr(fd_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(fd_, TCSANOW, &tio);
  }
  ~Line() {
    if (fd_ >= 0) ::close(fd_);
  }
  Line(const Line &) = delete;
  Line &operator=(const Line &) = delete;

  void send(std::string_view bytes) {
    while (!bytes.empty()) {
      ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      if (n > 0) {
        bytes.remove_prefix(size_t(n));
      } else if (n < 0 && errno == EAGAIN) {
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, 100);
      } else if (n < 0 && errno != EINTR) {
        throw std::runtime_error("write failed");
      }
    }
  }

  // Reads until `n` bytes came, the line was lost or the deadline passed.
  std::string read(size_t n, std::chrono::milliseconds limit = kDeadline) {
    std::string out;
    auto end = Clock::now() + limit;
    char buf[4096];
    while (out.size() < n) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, remainingMs(end)) <= 0) break;
      size_t want = std::min(sizeof buf, n - out.size());
      ssize_t got = ::read(fd_, buf, want);
      if (got > 0) {
        out.append(buf, size_t(got));
      } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        break;
      }
    }
    return out;
  }

  // Bytes waiting to be read.
  int waiting() const {
    int n = 0;
    ::ioctl(fd_, FIONREAD, &n);
    return n;
  }

  // True once the far end has gone: hang-up on poll and nothing to read.
  bool lost(std::chrono::milliseconds limit = kDeadline) {
    auto end = Clock::now() + limit;
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      int r = ::poll(&p, 1, remainingMs(end));
      if (r <= 0) return false;
      if (p.revents & (POLLHUP | POLLERR)) {
        char c;
        ssize_t got = ::read(fd_, &c, 1);
        if (got == 0 || (got < 0 && errno == EIO)) return true;
      } else {
        char buf[256];
        (void)!::read(fd_, buf, sizeof buf); // drain what came before the end
      }
    }
  }

  int fd() const { return fd_; }

private:
  int fd_ = -1;
};

} // namespace farend
