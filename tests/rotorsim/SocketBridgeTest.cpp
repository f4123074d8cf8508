// The unit's line served on a unix socket, as a virtual machine's serial
// port reaches it: bytes pass both ways at the unit's pace, a client that
// connects again takes the line over, and the socket goes with the bridge.
#include "rotorsim/RotorSim.h"
#include "rotorsim/SocketBridge.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

using namespace rotorsim;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class Client {
public:
  explicit Client(const fs::path &path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    connected_ = fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
  }
  ~Client() {
    if (fd_ >= 0)
      ::close(fd_);
  }
  bool connected() const { return connected_; }
  bool send(const std::string &s) { return ::send(fd_, s.data(), s.size(), MSG_NOSIGNAL) == ssize_t(s.size()); }
  // Reads until n bytes came or the deadline passed; counts the reads.
  std::string read(size_t n, std::chrono::milliseconds limit = support::kDeadline) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (got.size() < n && std::chrono::steady_clock::now() < end) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0)
        continue;
      char buf[64];
      ssize_t r = ::read(fd_, buf, sizeof buf);
      if (r <= 0)
        break;
      got.append(buf, size_t(r));
      ++reads;
    }
    return got;
  }
  // True when the bridge closed our end.
  bool closed() {
    pollfd p{fd_, POLLIN, 0};
    char c;
    return ::poll(&p, 1, int(support::kDeadline.count())) == 1 && ::read(fd_, &c, 1) == 0;
  }
  int reads = 0;

private:
  int fd_ = -1;
  bool connected_ = false;
};

TEST(SocketBridge, PollAnsweredAtTheLinePaceAndTheNewestClientTakesOver) {
  support::TempDir dir("rotorsim-sock");
  Options o;
  o.startAz = 123;
  o.startEl = 45;
  PtyServer unit(o);
  const fs::path path = dir / "line.sock";
  {
    SocketBridge bridge(path.string(), unit.devicePath());
    Client first(path);
    ASSERT_TRUE(first.connected());
    ASSERT_TRUE(first.send("C\r"));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(first.read(16), "AZ=123  EL=045\r\n");
    // 16 bytes at 9600 baud take about 16 ms and come as the wire hands them on.
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 10ms);
    EXPECT_GT(first.reads, 1);

    Client second(path);
    ASSERT_TRUE(second.connected());
    ASSERT_TRUE(support::WaitFor([&] { return bridge.connections() == 2; }));
    EXPECT_TRUE(first.closed());
    ASSERT_TRUE(second.send("M130\r"));
    EXPECT_EQ(second.read(1), "\r");
    ASSERT_TRUE(support::WaitFor([&] { return unit.commandsHandled() == 2; }));
  }
  EXPECT_FALSE(fs::exists(fs::symlink_status(path)));
}

TEST(SocketBridge, RefusesToReplaceWhatIsNoSocket) {
  support::TempDir dir("rotorsim-sock");
  PtyServer unit(Options{});
  const fs::path file = dir / "file";
  std::ofstream(file) << "keep";
  EXPECT_THROW(SocketBridge(file.string(), unit.devicePath()), std::system_error);
  EXPECT_TRUE(fs::is_regular_file(file));
  EXPECT_THROW(SocketBridge((dir / "ok.sock").string(), (dir / "no-device").string()), std::system_error);
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "ok.sock")));
  // A socket left behind by an earlier run that died is replaced.
  const fs::path stale = dir / "stale.sock";
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, stale.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(0, ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr));
  ::close(fd);
  ASSERT_TRUE(fs::is_socket(stale));
  SocketBridge bridge(stale.string(), unit.devicePath());
  EXPECT_TRUE(Client(stale).connected());
}

} // namespace
