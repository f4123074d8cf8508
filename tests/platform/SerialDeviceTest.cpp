// Clock and tick timers, events, device naming, exclusive open, the control
// block on a pty, hang-up detection and the comm-event wait.
#include "platform/Clock.h"
#include "platform/PlatformErrors.h"
#include "platform/SerialDevice.h"
#include "platform/Sync.h"
#include "tests/support/Ports.h"
#include "tests/support/ProcessCounts.h"
#include "tests/support/PtyPair.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

namespace {

using namespace platform;

TEST(TickTimer, ExpiresAfterItsTicksAndClampsLongRequests) {
  struct Case {
    int32_t ticks;
    uint32_t startMs, nowMs;
    bool expired;
  } cases[] = {
      {10, 0, 10 * 55, false}, // the expiry tick itself is not past
      {10, 0, 11 * 55, true},
      {0, 1000, 1000, false},
      {0, 1000, 1000 + 55, true},
      {kMaxTicks + 5, 0, uint32_t(kMaxTicks) * 55, false}, // clamped to kMaxTicks
      {kMaxTicks + 5, 0, (uint32_t(kMaxTicks) + 1) * 55, true},
      // The clock wrapped below the start tick.
      {100, 39045000u * 55, 10 * 55, true},
      {100, 39045000u * 55, 39045150u * 55, true},
  };
  for (const auto &c : cases) {
    TTickTimer t;
    StartTickTimerAt(t, c.ticks, c.startMs);
    EXPECT_EQ(c.expired, TickTimerExpiredAt(t, c.nowMs)) << c.ticks << " " << c.startMs << " " << c.nowMs;
  }
  TTickTimer t;
  StartTickTimerAt(t, kMaxTicks * 2, 0);
  EXPECT_EQ(kMaxTicks, t.ExpireTicks - t.StartTicks);
}

TEST(TickTimer, RemainingTimeEndsWhereTheTimerExpires) {
  struct Case {
    int32_t ticks;
    uint32_t startMs, nowMs;
  } cases[] = {
      {0, 0, 0},
      {0, 1000, 1000},
      {10, 0, 0},
      {10, 0, 10 * 55},
      {10, 0, 11 * 55},
      {3, 100, 250},
      {kMaxTicks, 0, 77},
      {100, 39045000u * 55, 10 * 55},         // wrapped: expired
      {1000, 78090000u * 55, 78090000u * 55}, // expires only after the wrap
  };
  for (const auto &c : cases) {
    TTickTimer t;
    StartTickTimerAt(t, c.ticks, c.startMs);
    const uint32_t left = TickTimerRemainingMsAt(t, c.nowMs);
    if (TickTimerExpiredAt(t, c.nowMs)) {
      EXPECT_EQ(0u, left) << c.ticks << " " << c.startMs << " " << c.nowMs;
      continue;
    }
    ASSERT_GT(left, 0u);
    // Not expired a millisecond before the time told, expired at it.
    const uint32_t at = c.nowMs + left;
    EXPECT_FALSE(TickTimerExpiredAt(t, at - 1)) << c.ticks << " " << c.startMs << " " << c.nowMs;
    EXPECT_TRUE(TickTimerExpiredAt(t, at)) << c.ticks << " " << c.startMs << " " << c.nowMs;
  }
}

TEST(Events, AutoResetWakesOneWaitManualStaysSet) {
  TEvent autoEv, manual(true);
  autoEv.Set();
  EXPECT_EQ(WaitResult::Signaled, autoEv.Wait(0));
  EXPECT_EQ(WaitResult::TimedOut, autoEv.Wait(0)); // consumed
  manual.Set();
  EXPECT_EQ(WaitResult::Signaled, manual.Wait(0));
  EXPECT_EQ(WaitResult::Signaled, manual.Wait(0));
  manual.Reset();
  EXPECT_FALSE(manual.IsSet());

  TEvent a, b;
  EXPECT_EQ(-1, WaitForEvents({&a, &b}, 0));
  b.Set();
  EXPECT_EQ(1, WaitForEvents({&a, &b}, 1000));
  EXPECT_FALSE(b.IsSet());
  std::thread setter([&] { a.Set(); });
  EXPECT_EQ(0, WaitForEvents({&a, &b}, 10000));
  setter.join();
}

TEST(Sync, PrioritiesMapToLevelsAndRaisesMayBeRefused) {
  int64_t self = CurrentThreadId();
  std::thread t([&] {
    int64_t me = CurrentThreadId();
    EXPECT_NE(self, me);
    EXPECT_TRUE(SetThreadPriority(me, 2));
    EXPECT_EQ(2, GetThreadPriority(me));
    EXPECT_TRUE(SetThreadPriority(me, 4)); // refused without privileges: still fine
  });
  t.join();
}

class Devices : public ::testing::Test {
protected:
  void SetUp() override { SetStartDirectory(dir_); }
  static std::string Link(int n, const std::string &target) { return support::LinkPort(n, target); }
  const std::string dir_ = support::StartDir().string();
  support::PtyPair pty_;
  const std::string slave_ = pty_.SlavePath();
};

TEST_F(Devices, NamesResolveToStartDirectoryEntriesOrSerialNodes) {
  Link(5, slave_);
  struct {
    std::string name, path;
  } cases[] = {
      {"\\\\.\\COM5", dir_ + "/COM5"},
      {"\\\\.\\COM3", "/dev/ttyS2"},
      {"COM12", "/dev/ttyS11"},
      {"/dev/pts/99", "/dev/pts/99"},
      {"\\\\.\\COM0", ""},
      {"\\\\.\\COMx", ""},
      {"\\\\.\\COM", ""},
      {"LPT1", ""},
  };
  for (const auto &c : cases)
    EXPECT_EQ(c.path, ResolveDeviceName(c.name)) << c.name;
}

TEST_F(Devices, OpenFailuresCarryTheirPlatformNumbers) {
  TSerialDevice d;
  EXPECT_EQ(kErrFileNotFound, d.Open(Link(6, dir_ + "/absent")));
  EXPECT_EQ(kErrPathNotFound, d.Open(Link(6, "/dev/null/absent")));
  EXPECT_EQ(kErrFileNotFound, d.Open(Link(6, "/dev/null"))); // not a serial device
  EXPECT_EQ(kErrFileNotFound, d.Open("\\\\.\\COM0"));
  EXPECT_FALSE(d.IsOpen());

  std::string name = Link(6, slave_);
  ASSERT_EQ(0u, d.Open(name));
  TSerialDevice second;
  EXPECT_EQ(kErrAccessDenied, second.Open(name)); // held by the first
  EXPECT_TRUE(d.Close());
  EXPECT_EQ(0u, second.Open(name));
}

TEST_F(Devices, ClosingClearsTheExclusiveFlagTheOpenSet) {
  // Otherwise a non-root user reopening the same pty later finds it busy.
  TSerialDevice d;
  ASSERT_EQ(0u, d.Open(slave_));
  int probe = open(slave_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (probe < 0)
    GTEST_SKIP() << "exclusive pty cannot be probed without privileges";
  int excl = 0;
  ASSERT_EQ(0, ioctl(probe, TIOCGEXCL, &excl));
  EXPECT_EQ(1, excl);
  EXPECT_TRUE(d.Close());
  ASSERT_EQ(0, ioctl(probe, TIOCGEXCL, &excl));
  EXPECT_EQ(0, excl);
  close(probe);
}

TEST_F(Devices, ControlBlockRoundTripsOnAPty) {
  TSerialDevice d;
  ASSERT_EQ(0u, d.Open(slave_));
  EXPECT_FALSE(d.HasModemLines()); // a pty has none: escapes succeed, status reads 0
  EXPECT_EQ(0u, d.Escape(escSetDtr));
  EXPECT_EQ(0u, d.Escape(escClrRts));
  uint32_t ms = 1;
  EXPECT_EQ(0u, d.GetModemStatus(ms));
  EXPECT_EQ(0u, ms);

  for (uint32_t rate : {9600u, 31250u, 115200u, 1000000u}) {
    TDeviceControl dcb;
    ASSERT_EQ(0u, d.GetState(dcb));
    dcb.BaudRate = rate;
    dcb.Flags |= dcbOutX | dcbInX;
    dcb.XonChar = 0x05;
    dcb.XoffChar = 0x06;
    ASSERT_EQ(0u, d.SetState(dcb)) << rate;
    TDeviceControl back;
    ASSERT_EQ(0u, d.GetState(back));
    EXPECT_EQ(rate, back.BaudRate);
    EXPECT_EQ(dcbOutX | dcbInX, back.Flags & (dcbOutX | dcbInX));
    EXPECT_EQ(0x05, back.XonChar);
    EXPECT_EQ(0x06, back.XoffChar);
  }
  TDeviceControl bad;
  bad.BaudRate = 9600;
  bad.ByteSize = 9;
  EXPECT_EQ(kErrInvalidParameter, d.SetState(bad));
}

// The line has one hardware-flow switch for both directions: what was asked
// for is read back, never the other half, and only while the line does it.
TEST_F(Devices, HardwareFlowReadsBackTheHalfThatWasAsked) {
  const uint32_t rtsHandshake = dcbRtsControlHandshake;
  const uint32_t both = dcbOutxCtsFlow | dcbRtsControlMask;
  // Opened before our exclusive open: plays another program on the line.
  const int other = open(slave_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(other, 0);
  TSerialDevice d;
  ASSERT_EQ(0u, d.Open(slave_));
  auto lineFlow = [&] {
    termios t{};
    tcgetattr(other, &t);
    return (t.c_cflag & CRTSCTS) != 0;
  };
  struct {
    const char *name;
    uint32_t asked;
    bool onLine;
  } cases[] = {
      {"CTS output flow", dcbOutxCtsFlow, true},
      {"RTS handshake", rtsHandshake, true},
      {"both", dcbOutxCtsFlow | rtsHandshake, true},
      {"neither", dcbRtsControlEnable, false},
  };
  for (const auto &c : cases) {
    TDeviceControl dcb;
    ASSERT_EQ(0u, d.GetState(dcb));
    dcb.BaudRate = 9600;
    dcb.Flags = (dcb.Flags & ~both) | c.asked;
    ASSERT_EQ(0u, d.SetState(dcb)) << c.name;
    EXPECT_EQ(c.onLine, lineFlow()) << c.name;
    ASSERT_EQ(0u, d.GetState(dcb));
    EXPECT_EQ(c.asked, dcb.Flags & both) << c.name;
  }

  // Someone else switches it off: nothing is reported, whatever was asked.
  TDeviceControl dcb;
  ASSERT_EQ(0u, d.GetState(dcb));
  dcb.Flags = (dcb.Flags & ~both) | dcbOutxCtsFlow;
  ASSERT_EQ(0u, d.SetState(dcb));
  termios t{};
  ASSERT_EQ(0, tcgetattr(other, &t));
  t.c_cflag &= ~CRTSCTS;
  ASSERT_EQ(0, tcsetattr(other, TCSANOW, &t));
  ASSERT_EQ(0u, d.GetState(dcb));
  EXPECT_EQ(0u, dcb.Flags & (dcbOutxCtsFlow | dcbRtsControlHandshake));

  // Someone else switches it on while we asked for neither: the line does
  // both, so both are reported.
  t.c_cflag |= CRTSCTS;
  ASSERT_EQ(0, tcsetattr(other, TCSANOW, &t));
  ASSERT_EQ(0u, d.GetState(dcb));
  EXPECT_EQ(dcbOutxCtsFlow | rtsHandshake, dcb.Flags & both);
  close(other);
}

TEST_F(Devices, ReceivedCharacterIsReportedOncePerArrival) {
  TSerialDevice d;
  ASSERT_EQ(0u, d.Open(slave_));
  d.SetCommMask(evRxChar | evCts);
  TEvent stop(true), rearm;
  ASSERT_EQ(1, write(pty_.Master(), "x", 1));
  uint32_t ev = 0;
  WaitOutcome o;
  for (int i = 0; i < 100 && ev == 0; ++i)
    o = d.WaitCommEvent(ev, &stop, &rearm, 100);
  ASSERT_EQ(WaitStatus::Ready, o.Status);
  EXPECT_EQ(evRxChar, ev);
  // Unread input does not report again until the reader rearms the watch.
  o = d.WaitCommEvent(ev, &stop, &rearm, 100);
  EXPECT_EQ(WaitStatus::TimedOut, o.Status);
  rearm.Set();
  ev = 0;
  for (int i = 0; i < 3 && ev == 0; ++i)
    o = d.WaitCommEvent(ev, &stop, &rearm, 100);
  EXPECT_EQ(evRxChar, ev);
  stop.Set();
  o = d.WaitCommEvent(ev, &stop, &rearm, 100);
  EXPECT_EQ(WaitStatus::Event, o.Status);
}

TEST_F(Devices, AWaitWithoutLimitEndsWhenTheLineWatchIsSwitched) {
  TSerialDevice d;
  ASSERT_EQ(0u, d.Open(slave_));
  d.SetCommMask(evRxChar | evCts);
  EXPECT_FALSE(d.WatchingLines());
  TEvent stop(true), rearm;
  std::atomic<bool> returned{false};
  WaitOutcome o;
  std::thread waiter([&] {
    uint32_t ev = 0;
    o = d.WaitCommEvent(ev, &stop, &rearm, kInfinite);
    returned = true;
  });
  d.WatchLines(true); // before or during the wait: either way it ends
  EXPECT_TRUE(support::WaitFor([&] { return returned.load(); })) << "the switch did not end the wait";
  stop.Set(); // lets a stuck waiter go
  waiter.join();
  EXPECT_EQ(WaitStatus::TimedOut, o.Status);
  EXPECT_TRUE(d.WatchingLines());
  // A stop ends an unlimited wait just as well.
  uint32_t ev = 0;
  EXPECT_EQ(WaitStatus::Event, d.WaitCommEvent(ev, &stop, &rearm, kInfinite).Status);
}

TEST_F(Devices, HangUpIsReportedAsLostNotAsData) {
  TSerialDevice d;
  ASSERT_EQ(0u, d.Open(slave_));
  d.SetCommMask(evRxChar);
  pty_.HangUp();
  uint8_t buf[16];
  IoResult r = d.Read(buf, sizeof buf);
  EXPECT_EQ(IoStatus::Lost, r.Status);
  TEvent stop(true), rearm;
  uint32_t ev = 0;
  EXPECT_EQ(WaitStatus::Lost, d.WaitCommEvent(ev, &stop, &rearm, 100).Status);
  EXPECT_EQ(IoStatus::Lost, d.Write("a", 1).Status);
  EXPECT_TRUE(d.Close());
  EXPECT_EQ(IoStatus::Closed, d.Read(buf, sizeof buf).Status);
}

TEST_F(Devices, HeldOutputWaitsAndAFlushEventCutsTheWaitShort) {
  TSerialDevice d;
  ASSERT_EQ(0u, d.Open(slave_));
  TDeviceControl dcb;
  ASSERT_EQ(0u, d.GetState(dcb));
  dcb.BaudRate = 9600;
  dcb.Flags |= dcbOutX;
  ASSERT_EQ(0u, d.SetState(dcb));
  ASSERT_EQ(1, write(pty_.Master(), "\x13", 1)); // XOFF
  // Once the line discipline has taken the XOFF, writes stall.
  IoResult r;
  for (int i = 0; i < 2000; ++i) {
    r = d.Write("a", 1);
    if (r.Status == IoStatus::WouldBlock)
      break;
    WaitOutcome o = d.WaitWritable({}, 5);
    (void)o;
  }
  ASSERT_EQ(IoStatus::WouldBlock, r.Status);
  TEvent flush;
  flush.Set();
  WaitOutcome o = d.WaitWritable({&flush}, 5000);
  EXPECT_EQ(WaitStatus::Event, o.Status);
  EXPECT_EQ(0, o.EventIndex);
  EXPECT_EQ(0u, d.Purge(purgeTxAbort | purgeTxClear));
  ASSERT_EQ(1, write(pty_.Master(), "\x11", 1)); // XON
  EXPECT_TRUE(d.Close());
}

TEST(Counts, DescriptorAndThreadCountsSeeChanges) {
  int fds = support::OpenDescriptors();
  int threads = support::LiveThreads();
  {
    TEvent e;
    EXPECT_EQ(fds + 1, support::OpenDescriptors());
  }
  EXPECT_EQ(fds, support::OpenDescriptors());
  EXPECT_GE(threads, 1);
}

} // namespace
