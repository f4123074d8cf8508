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

#include "tests/support/PtyPair.h"

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
    if (fd_ < 0)
      throw std::runtime_error("cannot open " + path);
    termios tio{};
    ::tcgetattr(fd_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(fd_, TCSANOW, &tio);
  }
  ~Line() {
    if (fd_ >= 0)
      ::close(fd_);
  }
  Line(const Line &) = delete;
  Line &operator=(const Line &) = delete;

  void send(std::string_view bytes) {
    if (!support::SendAll(fd_, bytes))
      throw std::runtime_error("write failed");
  }

  // Reads until `n` bytes came, the line was lost or the deadline passed.
  std::string read(size_t n, std::chrono::milliseconds limit = kDeadline) {
    return support::ReceiveUpTo(fd_, n, limit);
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
      if (r <= 0)
        return false;
      if (p.revents & (POLLHUP | POLLERR)) {
        char c;
        ssize_t got = ::read(fd_, &c, 1);
        if (got == 0 || (got < 0 && errno == EIO))
          return true;
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
