// The shared helpers where a fault would hide others': a wait that gives
// up, a far end that loses or invents bytes, a child that is not stopped.
#include "tests/support/ChildProcess.h"
#include "tests/support/ProcessCounts.h"
#include "tests/support/PtyPair.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <csignal>
#include <thread>

namespace {

using namespace support;
namespace fs = std::filesystem;

TEST(Wait, HoldsOnceTheConditionDoesAndGivesUpAtTheLimit) {
  std::atomic<bool> set{false};
  std::thread setter([&] { set = true; });
  EXPECT_TRUE(WaitFor([&] { return set.load(); }));
  setter.join();
  int checks = 0;
  EXPECT_FALSE(WaitFor([&] { return ++checks < 0; }, 30ms));
  EXPECT_GT(checks, 1); // checked again and again, not once
}

TEST(PtyPair, LinkedPairCarriesBytesBothWaysAndHangsUp) {
  TempDir dir;
  const int fds = OpenDescriptors();
  {
    PtyPair pty(dir / "COM1");
    EXPECT_EQ(fs::read_symlink(dir / "COM1"), pty.SlavePath());
    const int line = ::open((dir / "COM1").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(line, 0);
    // Raw: no line discipline changes a byte on the way.
    std::string all;
    for (int c = 0; c < 256; ++c)
      all += char(c);
    ASSERT_TRUE(pty.Send(all));
    ASSERT_TRUE(WaitFor([&] { return pty.Unread() == 256; }));
    EXPECT_EQ(ReceiveUpTo(line, 256), all);
    EXPECT_EQ(pty.Unread(), 0);
    // What the slave side writes in pieces comes whole, and no more.
    ASSERT_TRUE(SendAll(line, "AZ=1"));
    ASSERT_TRUE(SendAll(line, "23\r\n"));
    EXPECT_EQ(pty.Receive(8), "AZ=123\r\n");
    EXPECT_EQ(pty.Receive(1, 50ms), "");
    ASSERT_TRUE(SendAll(line, "xy"));
    ASSERT_TRUE(WaitFor([&] { return pty.Drain() == "xy"; }));
    pty.HangUp();
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "COM1")));
    ASSERT_TRUE(WaitFor([&] {
      char c;
      const ssize_t n = ::read(line, &c, 1);
      return n == 0 || (n < 0 && errno != EAGAIN);
    })) << "the slave side did not see the hang-up";
    ::close(line);
  }
  EXPECT_EQ(OpenDescriptors(), fds);
}

TEST(ChildProcess, RunsWithItsEnvironmentAndFolderAndIsCaught) {
  TempDir dir;
  ::setenv("ZK_SUPPORT_GONE", "here", 1);
  const ChildResult r = RunCommand({"sh", "-c", "echo \"$ZK_SUPPORT_SET${ZK_SUPPORT_GONE-none}\"; pwd >&2; exit 3"},
                                   {{"ZK_SUPPORT_SET", "set-"}, {"ZK_SUPPORT_GONE", std::nullopt}}, dir.Path(), 10s);
  ::unsetenv("ZK_SUPPORT_GONE");
  EXPECT_EQ(r.status, 3);
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.out, "set-none\n");
  EXPECT_EQ(fs::path(r.err.substr(0, r.err.size() - 1)), fs::canonical(dir.Path()));
}

TEST(ChildProcess, OutputLargerThanAPipeNeverStallsTheChild) {
  const ChildResult r = RunCommand({"head", "-c", "300000", "/dev/zero"}, {}, {}, 30s);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.size(), 300000u);
}

TEST(ChildProcess, OneThatOutlivesTheLimitIsKilled) {
  ChildProcess p({"sleep", "600"});
  ASSERT_TRUE(p.Started());
  EXPECT_FALSE(p.Ended());
  const ChildResult r = p.Wait(50ms);
  EXPECT_TRUE(r.timedOut);
  EXPECT_EQ(r.status, 128 + SIGKILL);
  EXPECT_TRUE(p.Ended());
}

TEST(ChildProcess, EndsOnASignalAndTellsWhichOne) {
  ChildProcess p({"sleep", "600"});
  p.Signal(SIGTERM);
  EXPECT_TRUE(WaitFor([&] { return p.Ended(); }));
  EXPECT_EQ(p.Wait(0ms).status, 128 + SIGTERM);
}

TEST(ChildProcess, AMissingProgramSaysSo) {
  ChildProcess p({"zk-no-such-program"});
  EXPECT_FALSE(p.Started());
  EXPECT_TRUE(p.Ended());
  const ChildResult r = p.Wait(10s);
  EXPECT_EQ(r.status, -1);
  EXPECT_NE(r.err.find("could not start"), std::string::npos) << r.err;
}

TEST(ChildProcess, HandsOverADescriptorAtTheNumberAsked) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  ChildProcess p({"sh", "-c", "echo 42 >&5"}, {}, {}, {{fds[1], 5}});
  ::close(fds[1]);
  EXPECT_EQ(p.Wait(10s).status, 0);
  EXPECT_EQ(ReceiveUpTo(fds[0], 3, 10s), "42\n");
  ::close(fds[0]);
}

TEST(TempDir, GoesWithAllItHolds) {
  fs::path kept;
  {
    TempDir dir("support");
    kept = dir.Path();
    EXPECT_EQ(kept.filename().string().rfind("zk-support-", 0), 0u);
    fs::create_directories(dir / "a" / "b");
    std::ofstream(dir / "a" / "b" / "f") << "x";
  }
  EXPECT_FALSE(fs::exists(kept));
}

} // namespace
