#pragma once
// A pseudo-terminal whose master side the test holds: it can stall us with
// XOFF, flood us and hang up.
#include "tests/app/WindowSupport.h"

#include <poll.h>
#include <sys/ioctl.h>

#include <stdexcept>
#include <string>

namespace faults {

// A far end the test plays byte by byte. Linked as `link` in the start
// directory until it hangs up.
class FarEnd {
public:
  explicit FarEnd(const fs::path &link) : link_(link) {
    char name[256];
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
      throw std::runtime_error("openpty");
    termios t{};
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    tcsetattr(slave_, TCSANOW, &t);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    std::error_code ec;
    fs::remove(link_, ec);
    fs::create_symlink(name, link_);
  }
  ~FarEnd() {
    HangUp();
    if (slave_ >= 0)
      close(slave_);
  }
  FarEnd(const FarEnd &) = delete;
  FarEnd &operator=(const FarEnd &) = delete;

  // Writes what the kernel takes now; returns how many bytes that was.
  size_t TrySend(const char *p, size_t n) const {
    const ssize_t w = write(master_, p, n);
    return w > 0 ? size_t(w) : 0;
  }
  void Send(const std::string &bytes) const {
    size_t off = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (off < bytes.size()) {
      off += TrySend(bytes.data() + off, bytes.size() - off);
      if (off < bytes.size()) {
        if (std::chrono::steady_clock::now() > deadline)
          throw std::runtime_error("far end cannot send");
        pollfd p{master_, POLLOUT, 0};
        poll(&p, 1, 20);
      }
    }
  }
  // What our side sent and the far end has not read yet, taken now.
  std::string Drain() const {
    std::string got;
    char buf[512];
    for (;;) {
      const ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0)
        return got;
      got.append(buf, size_t(n));
    }
  }
  // Bytes that wait in our side's input, not yet taken by the port.
  int Unread() const {
    int n = 0;
    ioctl(slave_, FIONREAD, &n);
    return n;
  }
  // The device goes away: the master closes, the link is removed.
  void HangUp() {
    if (master_ < 0)
      return;
    std::error_code ec;
    fs::remove(link_, ec);
    close(master_);
    master_ = -1;
  }
  int Master() const { return master_; }

private:
  fs::path link_;
  int master_ = -1;
  int slave_ = -1;
};

} // namespace faults
