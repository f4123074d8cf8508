#pragma once
// Test support: pseudo-terminal far ends linked as COMn in a private start
// directory.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/Messages.h"
#include "platform/SerialDevice.h"
#include "tests/support/MessagePump.h"

namespace porttest {

// A scratch directory made the start directory, where COMn links live.
inline const std::string &StartDir() {
  static std::string dir = [] {
    char tmpl[] = "/tmp/porttestXXXXXX";
    std::string d = mkdtemp(tmpl);
    platform::SetStartDirectory(d);
    return d;
  }();
  return dir;
}

class PtyPeer {
public:
  explicit PtyPeer(int comNumber) : com_(comNumber) {
    int slave = -1;
    char name[256] = {};
    if (openpty(&master_, &slave, name, nullptr, nullptr) != 0)
      std::abort();
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    // Keeping a slave descriptor open keeps the line up between opens.
    slave_ = slave;
    slavePath_ = name;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    link_ = StartDir() + "/COM" + std::to_string(comNumber);
    std::filesystem::remove(link_);
    std::filesystem::create_symlink(slavePath_, link_);
  }
  ~PtyPeer() {
    std::error_code ec;
    std::filesystem::remove(link_, ec);
    if (slave_ >= 0)
      close(slave_);
    if (master_ >= 0)
      close(master_);
  }
  PtyPeer(const PtyPeer &) = delete;
  PtyPeer &operator=(const PtyPeer &) = delete;

  void Send(const std::string &bytes) const {
    size_t off = 0;
    while (off < bytes.size()) {
      ssize_t n = write(master_, bytes.data() + off, bytes.size() - off);
      if (n > 0)
        off += size_t(n);
      else {
        pollfd p{master_, POLLOUT, 0};
        poll(&p, 1, 100);
      }
    }
  }

  // Reads what the port sent until `count` bytes arrived or the deadline passed.
  std::string Receive(size_t count, int deadlineMs = 10000) const {
    std::string got;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
    while (got.size() < count && std::chrono::steady_clock::now() < end) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 50) > 0 && (p.revents & POLLIN)) {
        char buf[256];
        ssize_t n = read(master_, buf, std::min(sizeof buf, count - got.size()));
        if (n > 0)
          got.append(buf, size_t(n));
      }
    }
    return got;
  }

  termios SlaveTermios() const {
    termios t{};
    tcgetattr(slave_, &t);
    return t;
  }

  int ComNumber() const { return com_; }
  int Master() const { return master_; }

private:
  int com_;
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
  std::string link_;
};

using support::PumpPending;
using support::PumpUntil;

} // namespace porttest
