#pragma once
// A pseudo-terminal pair: the code under test opens the slave as its serial
// device, the test plays the far end on the master.
#include "tests/support/Wait.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace support {

// Writes all the bytes to a non-blocking descriptor, waiting for room as
// needed; false when the limit passed first.
inline bool SendAll(int fd, std::string_view bytes, std::chrono::milliseconds limit = kDeadline) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(size_t(n));
      continue;
    }
    if (std::chrono::steady_clock::now() >= end)
      return false;
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, 20) > 0 && !(p.revents & POLLOUT))
      std::this_thread::sleep_for(1ms); // no far end yet: poll does not wait
  }
  return true;
}

// Reads until `count` bytes came, the other side closed or the limit passed.
inline std::string ReceiveUpTo(int fd, size_t count, std::chrono::milliseconds limit = kDeadline) {
  const auto end = std::chrono::steady_clock::now() + limit;
  std::string got;
  while (got.size() < count) {
    char buf[4096];
    const ssize_t n = ::read(fd, buf, std::min(sizeof buf, count - got.size()));
    if (n > 0) {
      got.append(buf, size_t(n));
      continue;
    }
    // EIO: the other side is not open (now); it may open yet.
    if (n == 0 || (errno != EAGAIN && errno != EINTR && errno != EIO))
      break;
    if (std::chrono::steady_clock::now() >= end)
      break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 20) > 0 && !(p.revents & POLLIN))
      std::this_thread::sleep_for(1ms);
  }
  return got;
}

class PtyPair {
public:
  // The slave is left alone for the code under test to open and set up.
  PtyPair() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
      throw std::runtime_error("no pseudo-terminal");
    slavePath_ = ptsname(master_);
  }
  // A device as the program finds it: linked as `link` (replacing what stood
  // there), its slave raw and held open, so the line stays up between the
  // opens of the code under test.
  explicit PtyPair(const std::filesystem::path &link) : PtyPair() {
    slave_ = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0)
      throw std::runtime_error("cannot open " + slavePath_);
    termios t{};
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    tcsetattr(slave_, TCSANOW, &t);
    LinkAs(link);
  }
  ~PtyPair() {
    HangUp();
    if (slave_ >= 0)
      ::close(slave_);
  }
  PtyPair(const PtyPair &) = delete;
  PtyPair &operator=(const PtyPair &) = delete;

  // A link to the slave, gone with the pair or its hang-up.
  void LinkAs(const std::filesystem::path &link) {
    std::error_code ec;
    std::filesystem::remove(link, ec);
    std::filesystem::create_symlink(slavePath_, link);
    link_ = link;
  }

  const std::string &SlavePath() const { return slavePath_; }
  int Master() const { return master_; }

  // Writes what the kernel takes now; returns how many bytes that was.
  size_t TrySend(const char *p, size_t n) const {
    const ssize_t w = ::write(master_, p, n);
    return w > 0 ? size_t(w) : 0;
  }
  bool Send(std::string_view bytes, std::chrono::milliseconds limit = kDeadline) const {
    return SendAll(master_, bytes, limit);
  }
  bool Send(const std::vector<uint8_t> &bytes, std::chrono::milliseconds limit = kDeadline) const {
    return Send(std::string_view(reinterpret_cast<const char *>(bytes.data()), bytes.size()), limit);
  }
  // What the code under test sent, until `count` bytes came or the limit passed.
  std::string Receive(size_t count, std::chrono::milliseconds limit = kDeadline) const {
    return ReceiveUpTo(master_, count, limit);
  }
  std::vector<uint8_t> ReceiveBytes(size_t count, std::chrono::milliseconds limit = kDeadline) const {
    const std::string got = Receive(count, limit);
    return {got.begin(), got.end()};
  }
  // What the code under test sent and the far end has not read yet, taken now.
  std::string Drain() const {
    std::string got;
    char buf[512];
    for (ssize_t n; (n = ::read(master_, buf, sizeof buf)) > 0;)
      got.append(buf, size_t(n));
    return got;
  }
  // Bytes that wait in the slave's input, not yet taken by the code under
  // test (a held slave only).
  int Unread() const {
    int n = 0;
    ::ioctl(slave_, FIONREAD, &n);
    return n;
  }
  termios SlaveTermios() const {
    termios t{};
    tcgetattr(slave_, &t);
    return t;
  }

  // The device goes away: the master closes, the link is removed.
  void HangUp() {
    if (master_ < 0)
      return;
    std::error_code ec;
    if (!link_.empty())
      std::filesystem::remove(link_, ec);
    ::close(master_);
    master_ = -1;
  }

private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
  std::filesystem::path link_;
};

// Writes the bytes to the far end from a thread of its own, as fast as the
// line takes them, until all are sent or the object goes.
class Flood {
public:
  Flood(const PtyPair &end, const std::string &bytes)
      : thread_([this, &end, &bytes] {
          while (sent_.load() < bytes.size() && !stop_.load()) {
            const size_t n = end.TrySend(bytes.data() + sent_.load(), bytes.size() - sent_.load());
            if (n > 0) {
              sent_.fetch_add(n);
            } else {
              pollfd p{end.Master(), POLLOUT, 0};
              ::poll(&p, 1, 20);
            }
          }
        }) {}
  ~Flood() {
    stop_.store(true);
    thread_.join();
  }
  size_t Sent() const { return sent_.load(); }

private:
  std::atomic<size_t> sent_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

} // namespace support
