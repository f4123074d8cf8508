#pragma once
// Pseudo-terminal pairs for dispatcher tests: the dispatcher opens the
// slave side through a COMn entry of a private start directory; the test
// plays the far end on the master side.
#include "platform/SerialDevice.h"
#include "tests/support/Wait.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace testpty {

using support::WaitFor;

inline const std::string &StartDir() {
  static const std::string dir = [] {
    char tmpl[] = "/tmp/zk-disp-XXXXXX";
    std::string d = mkdtemp(tmpl);
    platform::SetStartDirectory(d);
    return d;
  }();
  return dir;
}

// Makes COMn in the start directory point at target; returns the port name.
inline std::string LinkPort(int n, const std::string &target) {
  std::string link = StartDir() + "/COM" + std::to_string(n);
  std::error_code ec;
  std::filesystem::remove(link, ec);
  std::filesystem::create_symlink(target, link);
  return "\\\\.\\COM" + std::to_string(n);
}

class PtyPair {
public:
  PtyPair() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    grantpt(master_);
    unlockpt(master_);
    slave_ = ptsname(master_);
  }
  ~PtyPair() { CloseMaster(); }
  PtyPair(const PtyPair &) = delete;
  PtyPair &operator=(const PtyPair &) = delete;

  const std::string &SlavePath() const { return slave_; }
  int Master() const { return master_; }
  void CloseMaster() {
    if (master_ >= 0)
      close(master_);
    master_ = -1;
  }

  // Writes everything, waiting for room as needed (bounded by ms).
  bool Write(const std::vector<uint8_t> &data, int ms = 10000) {
    size_t done = 0;
    return WaitFor(
        [&] {
          ssize_t n = write(master_, data.data() + done, data.size() - done);
          if (n > 0)
            done += size_t(n);
          return done == data.size();
        },
        std::chrono::milliseconds(ms));
  }
  bool Write(const std::string &s, int ms = 10000) {
    return Write(std::vector<uint8_t>(s.begin(), s.end()), ms);
  }

  // Reads until count bytes arrived or ms passed.
  std::vector<uint8_t> Read(size_t count, int ms = 10000) {
    std::vector<uint8_t> out;
    WaitFor(
        [&] {
          uint8_t buf[4096];
          ssize_t n = read(master_, buf, std::min(sizeof buf, count - out.size()));
          if (n > 0)
            out.insert(out.end(), buf, buf + n);
          return out.size() >= count;
        },
        std::chrono::milliseconds(ms));
    return out;
  }

private:
  int master_ = -1;
  std::string slave_;
};

inline std::vector<uint8_t> Pattern(size_t n, uint32_t seed = 1) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed;
  for (auto &b : v) {
    x = x * 1103515245u + 12345u;
    b = uint8_t(x >> 16);
  }
  return v;
}

} // namespace testpty
