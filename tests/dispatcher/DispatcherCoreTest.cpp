// Bytes through the rings on a pseudo-terminal, the receive ring's limits,
// transmit ring limits and flushes, opening failures and thread ends.
#include "tests/dispatcher/ExposedDispatcher.h"
#include "platform/PlatformErrors.h"
#include "tests/support/NullOwner.h"
#include "tests/support/Pattern.h"
#include "tests/support/Ports.h"
#include "tests/support/ProcessCounts.h"
#include "tests/support/PtyPair.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <sys/file.h>

#include <algorithm>
#include <atomic>
#include <thread>

using namespace support;

namespace {

class Opened : public ::testing::Test {
protected:
  void SetUp() override {
    name_ = LinkPort(7, pty_.SlavePath());
    ASSERT_EQ(0, d_.OpenDispatcher(name_, 9600, 0, 8, 1, 4096, OutSize, loDtrOn | loRtsOn));
  }
  std::vector<uint8_t> ReadAll(size_t n) {
    std::vector<uint8_t> got;
    WaitFor([&] {
      uint8_t c;
      while (got.size() < n && d_.ReceiveByte(c) == ecOK)
        got.push_back(c);
      return got.size() == n;
    });
    return got;
  }
  static constexpr uint32_t OutSize = 512;
  PtyPair pty_;
  NullOwner owner_;
  std::string name_;
  ExposedDispatcher d_{&owner_};
};

TEST_F(Opened, AllByteValuesTravelBothWaysInOrder) {
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i)
    all[i] = uint8_t(i);
  ASSERT_EQ(ecOK, d_.SendBlock(all.data(), 128));
  for (int i = 128; i < 256; ++i)
    ASSERT_EQ(ecOK, d_.SendByte(all[i]));
  EXPECT_EQ(all, pty_.ReceiveBytes(256));

  ASSERT_TRUE(pty_.Send(all));
  EXPECT_EQ(all, ReadAll(256));
  uint8_t c;
  EXPECT_EQ(ecBufferIsEmpty, d_.ReceiveByte(c));
}

TEST_F(Opened, RingWrapsWithoutLosingOrder) {
  // Three rounds of 3000 bytes carry the head and tail across the ring's end.
  for (uint32_t round = 0; round < 3; ++round) {
    auto data = Pattern(3000, round + 7);
    ASSERT_TRUE(pty_.Send(data));
    ASSERT_TRUE(WaitFor([&] { return d_.ReceivedCount() == 3000; }));
    uint8_t c = 0;
    ASSERT_EQ(ecOK, d_.PeekByte(c, 3000));
    EXPECT_EQ(data[2999], c);
    EXPECT_EQ(ecBufferIsEmpty, d_.PeekByte(c, 3001)); // one past the count
    EXPECT_EQ(3000u, d_.ReceivedCount());             // peeking consumed nothing
    EXPECT_EQ(data, ReadAll(3000)) << "round " << round;
  }
}

TEST_F(Opened, FullRingReportsAllUnreadAndLosesNothing) {
  auto data = Pattern(8192 + 3000, 3);
  std::thread writer([&] { pty_.Send(data, 30000ms); });
  ASSERT_TRUE(WaitFor([&] { return d_.ReceivedCount() == 8192; }));
  ASSERT_TRUE(WaitFor([&] { return d_.InputQueue.Count() > 0; }));
  EXPECT_EQ(8192u, d_.ReceivedCount()); // full is 8192, not 0
  uint8_t c;
  ASSERT_EQ(ecOK, d_.PeekByte(c, 8192));
  EXPECT_EQ(data[8191], c);
  EXPECT_EQ(ecBufferIsEmpty, d_.PeekByte(c, 8193));
  EXPECT_EQ(data, ReadAll(data.size()));
  writer.join();
}

// How often each thread woke since a moment, for the idle checks.
class Wakes {
public:
  explicit Wakes(const ExposedDispatcher &d) : d_(d) {
    for (int k = 0; k < ThreadKindCount; ++k)
      base_[k] = d.WakeCount(TThreadKind(k));
  }
  uint32_t Since(TThreadKind k) const { return d_.WakeCount(k) - base_[int(k)]; }
  uint32_t Most() const {
    uint32_t most = 0;
    for (int k = 0; k < ThreadKindCount; ++k)
      most = std::max(most, Since(TThreadKind(k)));
    return most;
  }

private:
  const ExposedDispatcher &d_;
  uint32_t base_[ThreadKindCount] = {};
};

TEST_F(Opened, AnIdlePortsThreadsSleepUntilSomethingArrives) {
  // One exchange each way first, so every thread is past its start.
  ASSERT_EQ(ecOK, d_.SendByte('a'));
  ASSERT_EQ(std::vector<uint8_t>{'a'}, pty_.ReceiveBytes(1));
  ASSERT_TRUE(pty_.Send(std::string("b")));
  ASSERT_EQ(std::vector<uint8_t>{'b'}, ReadAll(1));
  // A thread on a time slice would wake again and again over this span; one
  // still finishing the exchange wakes a time or two at most.
  Wakes wakes(d_);
  EXPECT_FALSE(WaitFor([&] { return wakes.Most() > 3; }, 1000ms))
      << "read " << wakes.Since(TThreadKind::Read) << ", dispatch " << wakes.Since(TThreadKind::Dispatch) << ", write "
      << wakes.Since(TThreadKind::Write) << ", status " << wakes.Since(TThreadKind::Status);
  // Asleep is not deaf: the next byte each way goes through as before.
  ASSERT_TRUE(pty_.Send(std::string("c")));
  EXPECT_EQ(std::vector<uint8_t>{'c'}, ReadAll(1));
  ASSERT_EQ(ecOK, d_.SendByte('d'));
  EXPECT_EQ(std::vector<uint8_t>{'d'}, pty_.ReceiveBytes(1));
}

TEST_F(Opened, AFullRingAFewReadsMadeRoomInIsRefilled) {
  auto data = Pattern(8192 + 3000, 4);
  std::thread writer([&] { pty_.Send(data, 30000ms); });
  ASSERT_TRUE(WaitFor([&] { return d_.ReceivedCount() == 8192; }));
  ASSERT_TRUE(WaitFor([&] { return d_.InputQueue.Count() > 0; }));
  // Reads outside any notification, far from half the ring: what waits in
  // the queue still follows without more reads.
  std::vector<uint8_t> got;
  uint8_t c;
  for (int i = 0; i < 10; ++i) {
    ASSERT_EQ(ecOK, d_.ReceiveByte(c));
    got.push_back(c);
  }
  EXPECT_TRUE(WaitFor([&] { return d_.ReceivedCount() == 8192; })) << d_.ReceivedCount();
  auto rest = ReadAll(data.size() - got.size());
  got.insert(got.end(), rest.begin(), rest.end());
  EXPECT_TRUE(got == data) << "bytes lost or reordered";
  writer.join();
}

TEST(DispatchWait, TheDispatchThreadSleepsAsLongAsItsTriggersAllow) {
  NullOwner owner;
  ExposedDispatcher d(&owner);
  TTimerTrigger soon{}, idle{}, due{};
  platform::TTickTimer tick;
  const uint32_t started = platform::MillisecondClock();
  platform::StartTickTimer(tick, 10);
  soon = {0x61, tick.StartTicks, tick.ExpireTicks, 0, 0, 1};
  idle = soon;
  idle.Active = 0;
  platform::StartTickTimerAt(tick, 0, platform::MillisecondClock() - 200); // long expired
  due = {0x62, tick.StartTicks, tick.ExpireTicks, 0, 0, 1};
  const uint32_t never = platform::kInfinite;
  struct Case {
    const char *what;
    std::vector<TTimerTrigger> timers;
    std::vector<TStatusTrigger> statuses;
    uint32_t atLeast, atMost; // the wait, in ms
    bool linesWatched;
  } cases[] = {
      {"no triggers", {}, {}, never, never, false},
      {"an inactive timer", {idle}, {}, never, never, false},
      {"a timer due in ten ticks", {soon}, {}, 9 * platform::kTickMs, 11 * platform::kTickMs, false},
      {"an expired timer", {soon, due}, {}, 0, 0, false},
      {"output sent", {}, {{0x51, stOutSent, 0, 1, 0}}, StatusPassSliceMs, StatusPassSliceMs, false},
      {"a disarmed output trigger", {}, {{0x52, stOutBuffFree, 10, 0, 0}}, never, never, false},
      {"modem lines", {}, {{0x53, stModem, 0x1010, 1, 0}}, never, never, true},
      {"line errors", {}, {{0x54, stLine, 0x1F, 1, 0}}, never, never, true},
      {"a disarmed line trigger", {}, {{0x55, stLine, 0x1F, 0, 0}}, never, never, false},
  };
  for (const auto &c : cases) {
    TSavedTriggerSet set;
    set.Timers = c.timers;
    set.Statuses = c.statuses;
    d.RestoreTriggerSet(set);
    const uint32_t wait = d.DispatchWaitMs();
    // The timer's wait shrinks as the test runs: the time since it was set
    // counts towards it, however long the machine kept us from running.
    const uint32_t since = platform::MillisecondClock() - started;
    if (c.atLeast != never && c.atMost > c.atLeast)
      EXPECT_GE(uint64_t(wait) + since, c.atLeast) << c.what;
    else
      EXPECT_GE(wait, c.atLeast) << c.what;
    EXPECT_LE(wait, c.atMost) << c.what;
    EXPECT_EQ(c.linesWatched, d.Device.WatchingLines()) << c.what;
  }
  d.ClearTriggerTables();
  EXPECT_FALSE(d.Device.WatchingLines());
}

// Holds our output with XOFF: with IXON set the pty stops our writes.
class Held : public Opened {
protected:
  void SetUp() override {
    Opened::SetUp();
    ASSERT_EQ(ecOK, d_.EnableSoftwareFlow(100, 10, 1));
    // The XOFF is taken by the line discipline; the marker after it tells
    // us it has been seen.
    ASSERT_TRUE(pty_.Send(std::string("\x13M")));
    ASSERT_TRUE(WaitFor([&] { return d_.ReceivedCount() == 1; }));
    uint8_t c;
    ASSERT_EQ(ecOK, d_.ReceiveByte(c));
    ASSERT_EQ('M', c);
    // The write thread takes this block and stalls on it.
    first_ = Pattern(300, 11);
    ASSERT_EQ(ecOK, d_.SendBlock(first_.data(), uint32_t(first_.size())));
    ASSERT_TRUE(WaitFor([&] { return d_.TransmitUsed() == 0; }));
  }
  std::vector<uint8_t> first_;
};

TEST_F(Held, SendBlockTakesExactlyTheFreeSpace) {
  ASSERT_EQ(OutSize, d_.TransmitFree());
  auto fill = Pattern(OutSize, 12);
  EXPECT_EQ(ecOK, d_.SendBlock(fill.data(), OutSize));
  EXPECT_EQ(OutSize, d_.TransmitUsed());
  EXPECT_EQ(0u, d_.TransmitFree());
  uint8_t extra = 0x55;
  EXPECT_EQ(ecOutputBufferTooSmall, d_.SendBlock(&extra, 1));
  EXPECT_EQ(OutSize, d_.TransmitUsed());

  ASSERT_TRUE(pty_.Send(std::string("\x11"))); // XON
  std::vector<uint8_t> expect = first_;
  expect.insert(expect.end(), fill.begin(), fill.end());
  EXPECT_EQ(expect, pty_.ReceiveBytes(expect.size()));
  // The refused byte was never queued: a marker is the next thing to arrive.
  ASSERT_EQ(ecOK, d_.SendByte('Z'));
  EXPECT_EQ(std::vector<uint8_t>{'Z'}, pty_.ReceiveBytes(1));
}

TEST_F(Held, FlushTransmitDropsTheStalledBlock) {
  auto more = Pattern(100, 13);
  ASSERT_EQ(ecOK, d_.SendBlock(more.data(), 100));
  EXPECT_EQ(0, d_.FlushTransmit()); // answers although the line is held
  EXPECT_EQ(0u, d_.TransmitUsed());
  ASSERT_TRUE(pty_.Send(std::string("\x11")));
  ASSERT_EQ(ecOK, d_.SendByte('Z'));
  EXPECT_EQ(std::vector<uint8_t>{'Z'}, pty_.ReceiveBytes(1));
}

TEST(DispatcherOpen, MissingAndBusyDevicesAreToldApart) {
  NullOwner owner;
  {
    ExposedDispatcher d(&owner);
    std::string name = LinkPort(40, StartDir() / "no-such-device");
    EXPECT_EQ(-int32_t(platform::kErrFileNotFound), d.OpenDispatcher(name, 9600, 0, 8, 1, 4096, 4096, 3));
    EXPECT_EQ(0, d.ActiveThreads.load());
  }
  PtyPair pty;
  std::string name = LinkPort(41, pty.SlavePath());
  int other = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  ASSERT_EQ(0, flock(other, LOCK_EX | LOCK_NB));
  {
    ExposedDispatcher d(&owner);
    EXPECT_EQ(-int32_t(platform::kErrAccessDenied), d.OpenDispatcher(name, 9600, 0, 8, 1, 4096, 4096, 3));
  }
  close(other);
  ExposedDispatcher d(&owner);
  EXPECT_EQ(0, d.OpenDispatcher(name, 9600, 0, 8, 1, 4096, 4096, 3));
}

TEST(DispatcherOpen, StartingTwiceIsRefused) {
  PtyPair pty;
  NullOwner owner;
  ExposedDispatcher d(&owner);
  ASSERT_EQ(0, d.OpenDispatcher(LinkPort(8, pty.SlavePath()), 9600, 0, 8, 1, 4096, 4096, 3));
  try {
    d.StartThreads();
    FAIL() << "second start accepted";
  } catch (const std::exception &e) {
    EXPECT_STREQ("Dispatcher already started.", e.what());
  }
  EXPECT_EQ(4, d.ActiveThreads.load());
}

TEST(DispatcherOpen, FarEndClosingEndsAllThreadsOnce) {
  PtyPair pty;
  NullOwner owner;
  ExposedDispatcher d(&owner);
  ASSERT_EQ(0, d.OpenDispatcher(LinkPort(9, pty.SlavePath()), 9600, 0, 8, 1, 4096, 4096, 3));
  ASSERT_TRUE(pty.Send(std::string("ab")));
  ASSERT_TRUE(WaitFor([&] { return d.ReceivedCount() == 2; }));
  pty.HangUp();
  ASSERT_TRUE(WaitFor([&] { return d.ActiveThreads.load() == 0; }));
  EXPECT_FALSE(d.ThreadsStarted.load());
  EXPECT_EQ(0, owner.checks.load()); // a read failure is a line error, not an exception
  EXPECT_EQ(10, d.ReadLineError());
  EXPECT_EQ(0, d.ReadLineError()); // reported once
  // Nothing is left running: the process stays idle.
  const auto before = support::ProcessCpu();
  std::this_thread::sleep_for(std::chrono::seconds(1)); // measuring window, not a wait
  EXPECT_LT(support::ProcessCpu() - before, 200ms);
}

TEST(DispatcherOpen, StopEndsIdleThreads) {
  PtyPair pty;
  NullOwner owner;
  ExposedDispatcher d(&owner);
  ASSERT_EQ(0, d.OpenDispatcher(LinkPort(10, pty.SlavePath()), 9600, 0, 8, 1, 4096, 4096, 3));
  d.RequestStop(); // no device event follows: only the slices can notice it
  ASSERT_TRUE(WaitFor([&] { return d.ActiveThreads.load() == 0; }));
  EXPECT_EQ(0, d.ReadLineError());
}

TEST(DispatcherOpen, RepeatedOpenAndCloseLeavesNothingBehind) {
  PtyPair pty;
  NullOwner owner;
  std::string name = LinkPort(11, pty.SlavePath());
  int fds = support::OpenDescriptors();
  int threads = support::LiveThreads();
  // A descriptor or a thread left behind per cycle shows as hundreds.
  for (int i = 0; i < 300; ++i) {
    auto d = std::make_unique<ExposedDispatcher>(&owner);
    ASSERT_EQ(0, d->OpenDispatcher(name, 9600, 0, 8, 1, 4096, 4096, 3)) << i;
    if (i % 50 == 0) {
      ASSERT_EQ(ecOK, d->SendByte(uint8_t(i)));
      ASSERT_EQ(1u, pty.ReceiveBytes(1).size());
    }
    d->CloseDispatcher();
    d.reset();
  }
  EXPECT_EQ(fds, support::OpenDescriptors());
  // A thread of the test before may still have been ending at the start.
  EXPECT_TRUE(WaitFor([&] { return support::LiveThreads() <= threads; }))
      << support::LiveThreads() << " vs " << threads;
  EXPECT_TRUE(DispatcherList.empty());
}

TEST(DispatcherRegistry, SlotsAreReusedAndTrailingHolesTrimmed) {
  NullOwner owner;
  auto a = std::make_unique<ExposedDispatcher>(&owner);
  auto b = std::make_unique<ExposedDispatcher>(&owner);
  auto c = std::make_unique<ExposedDispatcher>(&owner);
  EXPECT_EQ(0, a->DispatcherIndex);
  EXPECT_EQ(2, c->DispatcherIndex);
  b.reset();
  auto d = std::make_unique<ExposedDispatcher>(&owner);
  EXPECT_EQ(1, d->DispatcherIndex); // lowest hole first
  {
    std::lock_guard<platform::TCriticalSection> g(DispatcherListLock);
    EXPECT_EQ(d.get(), DispatcherFromParam(intptr_t(1) << 16 | 5));
    EXPECT_EQ(nullptr, DispatcherFromParam(intptr_t(9) << 16));
  }
  c.reset();
  d.reset();
  EXPECT_EQ(1u, DispatcherList.size());
  a.reset();
  EXPECT_TRUE(DispatcherList.empty());
}

} // namespace
