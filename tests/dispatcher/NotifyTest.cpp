// Avail notifications delivered to a hidden window owned by a test thread
// that pumps its own messages, as the main thread does in the application.
#include "tests/dispatcher/ExposedDispatcher.h"
#include "tests/support/NullOwner.h"
#include "tests/support/Ports.h"
#include "tests/support/PtyPair.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

using namespace support;

namespace {

struct Seen {
  uint32_t Msg;
  uint32_t Count;
  intptr_t Param;
  std::vector<uint8_t> Read; // what the handler read
  uint32_t CountAfterReads;  // ReceivedCount after its reads
};

// A window on its own pumping thread. Its procedure records every
// notification and reads as many bytes as its reader says.
class WindowThread {
public:
  explicit WindowThread(TApdBaseDispatcher &d) : d_(d) {
    static bool registered = platform::RegisterWindowClass("zkDispTestWindow", &Proc);
    (void)registered;
    thread_ = std::thread([this] {
      wnd_.store(platform::CreateHiddenWindow("zkDispTestWindow", this));
      while (!stop_.load()) {
        if (!platform::ProcessOneMessage())
          platform::WaitForMessage(20);
      }
      platform::DestroyHiddenWindow(wnd_.load());
    });
    WaitFor([this] { return wnd_.load() != nullptr; });
  }
  ~WindowThread() {
    stop_.store(true);
    thread_.join();
  }
  platform::HWND Window() const { return wnd_.load(); }
  std::vector<Seen> Log() {
    std::lock_guard<std::mutex> g(mutex_);
    return log_;
  }
  size_t Count() {
    std::lock_guard<std::mutex> g(mutex_);
    return log_.size();
  }
  void SetReader(std::function<uint32_t(uint32_t count)> f) {
    std::lock_guard<std::mutex> g(mutex_);
    readHowMany_ = std::move(f);
  }

private:
  static platform::LRESULT Proc(platform::HWND w, uint32_t msg, platform::WPARAM wp, platform::LPARAM lp) {
    auto *self = static_cast<WindowThread *>(platform::GetWindowData(w));
    Seen s{msg, uint32_t(wp), lp, {}, 0};
    std::function<uint32_t(uint32_t)> reader;
    {
      std::lock_guard<std::mutex> g(self->mutex_);
      reader = self->readHowMany_;
    }
    uint32_t want = reader(uint32_t(wp));
    for (uint32_t i = 0; i < want; ++i) {
      uint8_t c;
      if (self->d_.ReceiveByte(c) != ecOK)
        break;
      s.Read.push_back(c);
    }
    s.CountAfterReads = self->d_.ReceivedCount();
    std::lock_guard<std::mutex> g(self->mutex_);
    self->log_.push_back(s);
    return 0;
  }

  TApdBaseDispatcher &d_;
  std::thread thread_;
  std::atomic<platform::HWND> wnd_{nullptr};
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<Seen> log_;
  std::function<uint32_t(uint32_t count)> readHowMany_ = [](uint32_t) { return 0u; };
};

class Notified : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(0, d_.OpenDispatcher(LinkPort(20, pty_.SlavePath()), 9600, 0, 8, 1, 4096, 4096, 3));
    win_ = std::make_unique<WindowThread>(d_);
    d_.AddWindowHandler(win_->Window());
    d_.RecomputeNotifyWanted(1); // the component has a trigger event assigned
    d_.SetAvailThreshold(1);
  }
  void TearDown() override {
    d_.CloseDispatcher();
    d_.RemoveWindowHandler(win_->Window());
    win_.reset();
  }
  // Writes the bytes and waits for the n-th notification.
  void Arrive(const std::string &bytes, size_t n) {
    ASSERT_TRUE(pty_.Send(bytes));
    ASSERT_TRUE(WaitFor([&] { return win_->Count() >= n; })) << "notification " << n;
  }
  PtyPair pty_;
  NullOwner owner_;
  ExposedDispatcher d_{&owner_};
  std::unique_ptr<WindowThread> win_;
};

TEST_F(Notified, UnreadBytesAreAnnouncedAgainWithTheGrownCount) {
  Arrive("a", 1);
  Arrive("b", 2);
  Arrive("c", 3);
  auto log = win_->Log();
  ASSERT_EQ(3u, log.size()); // one per arrival, none repeated in between
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(NotifyAvail, log[i].Msg);
    EXPECT_EQ(i + 1, log[i].Count);
    EXPECT_EQ(intptr_t(d_.DispatcherIndex) << 16, log[i].Param);
  }
  EXPECT_EQ(3u, d_.ReceivedCount());
}

TEST_F(Notified, AReportInTwoPiecesIsAnnouncedAsNineThenSixteen) {
  // The handler of the application ignores 2..15 waiting bytes and takes 16.
  win_->SetReader([](uint32_t count) { return count >= 16 ? count : 0u; });
  Arrive("AZ=123  E", 1);
  Arrive("L=045\r\n", 2);
  auto log = win_->Log();
  ASSERT_EQ(2u, log.size());
  EXPECT_EQ(9u, log[0].Count);
  EXPECT_EQ(16u, log[1].Count);
  EXPECT_EQ(std::string("AZ=123  EL=045\r\n"), std::string(log[1].Read.begin(), log[1].Read.end()));
  ASSERT_TRUE(WaitFor([&] { return d_.ReceivedCount() == 0; })); // the tail moved after the event
}

TEST_F(Notified, ReadsInsideANotificationDoNotConsume) {
  // A second window handler sees the same bytes from the start.
  WindowThread second(d_);
  d_.AddWindowHandler(second.Window());
  win_->SetReader([](uint32_t) { return 3u; });
  second.SetReader([](uint32_t) { return 2u; });
  Arrive("hello", 1);
  ASSERT_TRUE(WaitFor([&] { return second.Count() >= 1; }));
  auto a = win_->Log()[0];
  auto b = second.Log()[0];
  EXPECT_EQ(std::string("hel"), std::string(a.Read.begin(), a.Read.end()));
  EXPECT_EQ(2u, a.CountAfterReads); // falls by one per read
  EXPECT_EQ(std::string("he"), std::string(b.Read.begin(), b.Read.end()));
  EXPECT_EQ(3u, b.CountAfterReads);
  // The tail advances by what the most-reading handler took.
  ASSERT_TRUE(WaitFor([&] { return d_.ReceivedCount() == 2; }));
  uint8_t c;
  ASSERT_EQ(ecOK, d_.ReceiveByte(c));
  EXPECT_EQ('l', c);
  d_.RemoveWindowHandler(second.Window());
}

TEST_F(Notified, AHandlerReadingFewerEndsTheLoopUntilMoreArrives) {
  win_->SetReader([](uint32_t count) { return count > 1 ? count - 1 : 0u; });
  Arrive("xyz", 1);
  Arrive("w", 2);
  auto log = win_->Log();
  ASSERT_EQ(2u, log.size());
  EXPECT_EQ(3u, log[0].Count);
  EXPECT_EQ(2u, log[1].Count); // the byte left over plus the new one
  ASSERT_TRUE(WaitFor([&] { return d_.ReceivedCount() == 1; }));
}

TEST_F(Notified, NoWindowWantedMeansNoDelivery) {
  d_.RecomputeNotifyWanted(2); // no trigger event assigned: one window is not enough
  ASSERT_TRUE(pty_.Send(std::string("q")));
  ASSERT_TRUE(WaitFor([&] { return d_.ReceivedCount() == 1; }));
  d_.RecomputeNotifyWanted(1);
  Arrive("r", 1);
  EXPECT_EQ(2u, win_->Log()[0].Count);
}

TEST_F(Notified, RemovingTheWindowInsideItsNotificationIsDeferred) {
  platform::HWND w = win_->Window();
  win_->SetReader([this, w](uint32_t) {
    d_.RemoveWindowHandler(w);
    return 0u;
  });
  Arrive("1", 1);
  ASSERT_TRUE(WaitFor([&] { return !d_.Notifying.load(); }));
  {
    std::lock_guard<platform::TCriticalSection> g(d_.StateLock);
    EXPECT_TRUE(d_.WindowHandlers.empty());
  }
  d_.AddWindowHandler(win_->Window());
}

TEST(TriggerSets, SaveRestoreKeepsRecordsAndLength) {
  NullOwner owner;
  ExposedDispatcher a(&owner), b(&owner);
  TTimerTrigger t{};
  t.Handle = 0x11;
  t.Active = 1;
  TMatchTrigger m{};
  m.Handle = 0x22;
  m.Length = 3;
  std::memcpy(m.Pattern, "OK\r", 3);
  TStatusTrigger s{0x33, stLine, 0x0E, 1, 0};
  a.TimerTable.push_back(t);
  a.MatchTable.push_back(m);
  a.StatusTable.push_back(s);
  a.SetAvailThreshold(16);

  TSavedTriggerSet set;
  set.Timers.resize(5); // old contents are freed first
  a.SaveTriggerSet(set);
  ASSERT_EQ(1u, set.Timers.size());
  b.RestoreTriggerSet(set);
  EXPECT_EQ(16, b.GetAvailThreshold());
  ASSERT_EQ(1u, b.MatchTable.size());
  EXPECT_EQ(0, std::memcmp(&m, &b.MatchTable[0], sizeof m));
  EXPECT_EQ(0x33u, b.StatusTable[0].Handle);
  EXPECT_EQ(0x11u, b.TimerTable[0].Handle);
  TApdBaseDispatcher::FreeTriggerSet(set);
  EXPECT_TRUE(set.Matches.empty());
  b.ClearTriggerTables();
  EXPECT_EQ(0, b.GetAvailThreshold());
  EXPECT_TRUE(b.MatchTable.empty() && b.TimerTable.empty() && b.StatusTable.empty());
}

} // namespace

namespace {

TEST(NotifyClose, ClosingInsideTheHandlerIsDeferredUntilItReturns) {
  PtyPair pty;
  NullOwner owner;
  auto d = std::make_unique<ExposedDispatcher>(&owner);
  ASSERT_EQ(0, d->OpenDispatcher(LinkPort(21, pty.SlavePath()), 9600, 0, 8, 1, 4096, 4096, 3));
  WindowThread win(*d);
  d->AddWindowHandler(win.Window());
  d->RecomputeNotifyWanted(1);
  d->SetAvailThreshold(1);
  std::atomic<bool> pendingSeen{false};
  std::atomic<int> calls{0};
  ExposedDispatcher *raw = d.get();
  win.SetReader([&, raw](uint32_t) {
    if (calls++ == 0) {
      raw->CloseDispatcher();
      pendingSeen.store(raw->ClosePending.load() && raw->Notifying.load());
    }
    return 0u;
  });
  ASSERT_TRUE(pty.Send(std::string("k")));
  ASSERT_TRUE(WaitFor([&] { return win.Count() == 1; }));
  EXPECT_TRUE(pendingSeen.load()); // the close waits for the handler to return
  ASSERT_TRUE(WaitFor([&] { return raw->ActiveThreads.load() == 0; }));
  {
    std::lock_guard<platform::TCriticalSection> g(raw->ReceiveLock);
    EXPECT_EQ(nullptr, raw->ReceiveRing.get()); // released by the ending dispatch thread
  }
  EXPECT_EQ(1, calls.load());
  d->RemoveWindowHandler(win.Window());
  d.reset();
}

} // namespace

namespace {

TMatchTrigger Pattern(const char *text, bool ignoreCase = false, uint32_t handle = 0x40) {
  TMatchTrigger m{};
  m.Handle = handle;
  m.Length = uint32_t(std::strlen(text));
  m.IgnoreCase = ignoreCase;
  std::memcpy(m.Pattern, text, m.Length);
  return m;
}

TEST(MatchTriggers, PatternsAreFoundAcrossFalseStarts) {
  struct {
    const char *pattern, *stream;
    bool ignoreCase;
    std::vector<size_t> found; // stream positions completing the pattern
  } cases[] = {
      {"OK\r", "xxOK\r", false, {4}}, {"aab", "aaab", false, {3}}, {"ab", "ababab", false, {1, 3, 5}},
      {"AB", "xaBy", true, {2}},      {"AB", "xaBy", false, {}},   {"AZ=", "AAZ=AZ=", false, {3, 6}},
  };
  for (const auto &c : cases) {
    TMatchTrigger m = Pattern(c.pattern, c.ignoreCase);
    std::vector<size_t> found;
    for (size_t i = 0; c.stream[i]; ++i)
      if (TApdBaseDispatcher::MatchTriggerByte(m, uint8_t(c.stream[i])))
        found.push_back(i);
    EXPECT_EQ(c.found, found) << c.pattern << " in " << c.stream;
  }
}

class Restored : public Notified {};

TEST_F(Restored, RestoredTriggersFireTheirNotifications) {
  TSavedTriggerSet set;
  set.AvailThreshold = 1;
  set.Matches.push_back(Pattern("OK\r", false, 0x41));
  set.Statuses.push_back(TStatusTrigger{0x53, stOutSent, 0, 1, 0});
  TTimerTrigger t{};
  t.Handle = 0x62;
  platform::TTickTimer tick;
  platform::StartTickTimer(tick, 0); // expires with the next tick
  t.StartTicks = tick.StartTicks;
  t.ExpireTicks = tick.ExpireTicks;
  t.Active = 1;
  set.Timers.push_back(t);
  d_.RestoreTriggerSet(set);

  auto has = [&](uint32_t msg, uint32_t trigger, uint32_t low) {
    for (const auto &s : win_->Log())
      if (s.Msg == msg && s.Count == trigger && uint32_t(s.Param & 0xFFFF) == low)
        return true;
    return false;
  };
  ASSERT_TRUE(WaitFor([&] { return has(NotifyTimer, 0x62, 0); }));
  ASSERT_EQ(ecOK, d_.SendByte('?'));
  ASSERT_TRUE(WaitFor([&] { return has(NotifyStatus, 0x53, 0); }));
  ASSERT_EQ(1u, pty_.ReceiveBytes(1).size());

  size_t before = win_->Count();
  ASSERT_TRUE(pty_.Send(std::string("xxOK\r")));
  ASSERT_TRUE(WaitFor([&] { return has(NotifyData, 0x41, 3); }));
  ASSERT_TRUE(WaitFor([&] { return has(NotifyAvail, 5, 0); }));
  auto log = win_->Log();
  std::vector<uint32_t> order;
  for (size_t i = before; i < log.size(); ++i)
    order.push_back(log[i].Msg);
  // The bytes before the match, the match, then everything unread.
  EXPECT_EQ((std::vector<uint32_t>{NotifyAvail, NotifyData, NotifyAvail}), order);
  EXPECT_EQ(2u, log[before].Count);
}

} // namespace

namespace {

TEST_F(Restored, ATimerTriggerWakesTheDispatchThreadOnlyWhenDue) {
  TSavedTriggerSet set;
  set.AvailThreshold = 1;
  TTimerTrigger t{};
  t.Handle = 0x63;
  platform::TTickTimer tick;
  platform::StartTickTimer(tick, 10); // about half a second
  t.StartTicks = tick.StartTicks;
  t.ExpireTicks = tick.ExpireTicks;
  t.Active = 1;
  set.Timers.push_back(t);
  const uint32_t before = d_.WakeCount(TThreadKind::Dispatch);
  d_.RestoreTriggerSet(set);
  ASSERT_TRUE(WaitFor([&] { return win_->Count() >= 1; }));
  auto log = win_->Log();
  EXPECT_EQ(NotifyTimer, log[0].Msg);
  EXPECT_EQ(0x63u, log[0].Count);
  EXPECT_TRUE(platform::TickTimerExpired(tick));
  // Woken by the new table and by the due time, not by slices in between.
  EXPECT_LE(d_.WakeCount(TThreadKind::Dispatch) - before, 4u);
}

TEST_F(Restored, ADeviceFailureFiresTheLineErrorTriggerOnce) {
  TSavedTriggerSet set;
  set.AvailThreshold = 1;
  set.Statuses.push_back(TStatusTrigger{0x72, stLine, 0x1F, 1, 0});
  d_.RestoreTriggerSet(set);
  pty_.HangUp();
  auto statusCount = [&] {
    size_t n = 0;
    for (const auto &s : win_->Log())
      n += s.Msg == NotifyStatus && s.Count == 0x72;
    return n;
  };
  ASSERT_TRUE(WaitFor([&] { return statusCount() == 1; }));
  ASSERT_TRUE(WaitFor([&] { return d_.ActiveThreads.load() == 0; }));
  EXPECT_EQ(1u, statusCount());
  EXPECT_EQ(10, d_.ReadLineError());
}

} // namespace
