#include "platform/Messages.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

using namespace platform;
using namespace std::chrono;
using support::WaitFor;

namespace {

// The procedure records what it was given and on which thread it ran.
struct Log {
  std::mutex m;
  std::vector<uint32_t> msgs;
  std::vector<std::thread::id> threads;
  std::function<void(uint32_t)> during; // runs inside the procedure
};

LRESULT TestProc(HWND wnd, uint32_t msg, WPARAM wParam, LPARAM lParam) {
  auto *log = static_cast<Log *>(GetWindowData(wnd));
  if (log->during)
    log->during(msg);
  std::lock_guard<std::mutex> lk(log->m);
  log->msgs.push_back(msg);
  log->threads.push_back(std::this_thread::get_id());
  return static_cast<LRESULT>(wParam) + lParam;
}

const char *kClass = "msgTestClass";

void EnsureClass() {
  static bool once = RegisterWindowClass(kClass, TestProc);
  (void)once;
}

// A thread that owns a window and pumps it until told to stop.
class Owner {
public:
  explicit Owner(Log *log) {
    thread_ = std::thread([this, log] {
      HWND w = CreateHiddenWindow(kClass, log);
      wnd_.store(w);
      while (!stop_.load()) {
        if (pause_.load())
          continue;
        if (WaitForMessage(20))
          ProcessOneMessage();
      }
      if (destroyAtEnd_)
        DestroyHiddenWindow(w);
    });
    WaitFor([&] { return wnd_.load() != nullptr; });
  }
  ~Owner() {
    stop_.store(true);
    thread_.join();
  }
  HWND wnd() const { return wnd_.load(); }
  std::atomic<bool> pause_{false};
  bool destroyAtEnd_ = true;

private:
  std::atomic<HWND> wnd_{nullptr};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

} // namespace

TEST(Messages, ClassRegistersOncePerProcess) {
  EnsureClass();
  EXPECT_TRUE(IsWindowClassRegistered(kClass));
  EXPECT_FALSE(RegisterWindowClass(kClass, TestProc));
  EXPECT_FALSE(IsWindowClassRegistered("noSuchClass"));
  EXPECT_EQ(CreateHiddenWindow("noSuchClass", nullptr), nullptr);
}

TEST(Messages, PostedMessagesRunInOrderOnOwnerThread) {
  EnsureClass();
  Log log;
  HWND w = CreateHiddenWindow(kClass, &log);
  ASSERT_TRUE(IsWindow(w));
  EXPECT_FALSE(ProcessOneMessage());
  std::thread poster([&] {
    for (uint32_t i = 1; i <= 50; ++i)
      ASSERT_TRUE(PostMessage(w, i, 0, 0));
  });
  poster.join();
  int n = 0;
  while (ProcessOneMessage())
    ++n;
  EXPECT_EQ(n, 50);
  for (uint32_t i = 0; i < 50; ++i)
    EXPECT_EQ(log.msgs[i], i + 1);
  for (auto id : log.threads)
    EXPECT_EQ(id, std::this_thread::get_id());
  DestroyHiddenWindow(w);
  EXPECT_FALSE(IsWindow(w));
  EXPECT_FALSE(PostMessage(w, 1, 0, 0));
}

TEST(Messages, SendOnOwnerThreadCallsDirectly) {
  EnsureClass();
  Log log;
  HWND w = CreateHiddenWindow(kClass, &log);
  PostMessage(w, 1, 0, 0); // queued work is not run by a direct send
  LRESULT res = 0;
  ASSERT_TRUE(SendMessageTimeout(w, 7, 3, 4, 3000, &res));
  EXPECT_EQ(res, 7);
  ASSERT_EQ(log.msgs.size(), 1u);
  EXPECT_EQ(log.msgs[0], 7u);
  DestroyHiddenWindow(w);
}

TEST(Messages, SendFromOtherThreadRunsOnOwnerAndReturnsResult) {
  EnsureClass();
  Log log;
  Owner owner(&log);
  std::vector<std::thread> senders;
  std::atomic<int> ok{0};
  for (int t = 0; t < 4; ++t)
    senders.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        LRESULT res = -1;
        if (SendMessageTimeout(owner.wnd(), 100 + t, t, i, 3000, &res) && res == t + i)
          ++ok;
      }
    });
  for (auto &s : senders)
    s.join();
  EXPECT_EQ(ok.load(), 100);
  std::lock_guard<std::mutex> lk(log.m);
  ASSERT_EQ(log.threads.size(), 100u);
  for (auto id : log.threads)
    EXPECT_NE(id, std::this_thread::get_id());
}

TEST(Messages, SentMessagesGoBeforePosted) {
  EnsureClass();
  Log log;
  std::atomic<int> queued{0};
  SetMessageArrivedHook([&] { ++queued; });
  HWND w = CreateHiddenWindow(kClass, &log);
  PostMessage(w, 1, 0, 0);
  std::thread sender([&] { SendMessageTimeout(w, 2, 0, 0, 10000, nullptr); });
  ASSERT_TRUE(WaitFor([&] { return queued.load() == 2; }));
  ASSERT_TRUE(ProcessOneMessage());
  ASSERT_TRUE(ProcessOneMessage());
  sender.join();
  SetMessageArrivedHook({});
  EXPECT_EQ(log.msgs, (std::vector<uint32_t>{2, 1}));
  DestroyHiddenWindow(w);
}

TEST(Messages, TimedOutSendIsWithdrawnAndSenderHandlesNothingElse) {
  EnsureClass();
  Log ownerLog, senderLog;
  HWND w = CreateHiddenWindow(kClass, &ownerLog); // this thread owns it, but does not pump
  std::atomic<bool> returned{false};
  std::atomic<bool> result{true};
  std::atomic<long long> waitedMs{0};
  std::thread sender([&] {
    HWND mine = CreateHiddenWindow(kClass, &senderLog);
    // Someone posts to the sender while it waits: it must not be handled.
    PostMessage(mine, 55, 0, 0);
    auto t0 = steady_clock::now();
    result = SendMessageTimeout(w, 9, 0, 0, 3000, nullptr);
    waitedMs = duration_cast<milliseconds>(steady_clock::now() - t0).count();
    EXPECT_TRUE(senderLog.msgs.empty());
    EXPECT_TRUE(ProcessOneMessage()); // still queued for its own pump
    EXPECT_EQ(senderLog.msgs.size(), 1u);
    DestroyHiddenWindow(mine);
    returned = true;
  });
  ASSERT_TRUE(WaitFor([&] { return returned.load(); }, milliseconds(20000)));
  sender.join();
  EXPECT_FALSE(result.load());
  // Timed by the sender, where the time-out is kept; 100 ms below it allows
  // for the millisecond clock the wait counts with.
  EXPECT_GE(waitedMs.load(), 2900);
  // The owner pumps late: the withdrawn send never runs.
  while (ProcessOneMessage()) {
  }
  EXPECT_TRUE(ownerLog.msgs.empty());
  DestroyHiddenWindow(w);
}

TEST(Messages, SendStartedBeforeTimeOutCompletes) {
  EnsureClass();
  Log log;
  std::atomic<bool> release{false}, entered{false};
  log.during = [&](uint32_t) {
    entered = true;
    WaitFor([&] { return release.load(); });
  };
  Owner owner(&log);
  // A try withdrawn before the owner took it never runs, so retry until one
  // got in; it outlives the sender's patience.
  for (int i = 0; i < 200 && !entered.load(); ++i)
    EXPECT_FALSE(SendMessageTimeout(owner.wnd(), 3, 0, 0, 50, nullptr));
  ASSERT_TRUE(entered.load());
  release = true;
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> lk(log.m);
    return log.msgs.size() == 1; // ... but the procedure finished
  }));
}

TEST(Messages, DestroyReleasesWaitingSenderAndDropsQueue) {
  EnsureClass();
  Log log;
  std::atomic<int> queued{0};
  SetMessageArrivedHook([&] { ++queued; });
  HWND w = CreateHiddenWindow(kClass, &log);
  PostMessage(w, 1, 0, 0);
  std::atomic<int> state{0}; // 0 waiting, 1 returned false, 2 returned true
  auto t0 = steady_clock::now();
  std::thread sender([&] { state = SendMessageTimeout(w, 2, 0, 0, 60000, nullptr) ? 2 : 1; });
  ASSERT_TRUE(WaitFor([&] { return queued.load() == 2; }));
  SetMessageArrivedHook({});
  DestroyHiddenWindow(w);
  ASSERT_TRUE(WaitFor([&] { return state.load() != 0; }, milliseconds(30000)));
  sender.join();
  EXPECT_EQ(state.load(), 1);
  EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - t0).count(), 30000);
  EXPECT_FALSE(ProcessOneMessage());
  EXPECT_TRUE(log.msgs.empty());
}

TEST(Messages, HookFiresOnQueueingThreadForOwnersWindows) {
  EnsureClass();
  Log log;
  std::atomic<int> hooks{0};
  SetMessageArrivedHook([&] { ++hooks; });
  HWND w = CreateHiddenWindow(kClass, &log);
  std::thread poster([&] { PostMessage(w, 1, 0, 0); });
  poster.join();
  EXPECT_EQ(hooks.load(), 1);
  std::thread sender([&] { SendMessageTimeout(w, 2, 0, 0, 10000, nullptr); });
  ASSERT_TRUE(WaitFor([&] { return hooks.load() == 2; }));
  while (log.msgs.size() < 2)
    ProcessOneMessage();
  sender.join();
  SetMessageArrivedHook({});
  PostMessage(w, 3, 0, 0);
  EXPECT_EQ(hooks.load(), 2);
  ProcessOneMessage();
  DestroyHiddenWindow(w);
}

TEST(Messages, ProcedureMayPostAndSendToItself) {
  EnsureClass();
  Log log;
  HWND w = CreateHiddenWindow(kClass, &log);
  log.during = [&](uint32_t msg) {
    if (msg == 1) {
      PostMessage(w, 2, 0, 0);
      SendMessageTimeout(w, 3, 0, 0, 3000, nullptr);
    }
  };
  PostMessage(w, 1, 0, 0);
  while (ProcessOneMessage()) {
  }
  EXPECT_EQ(log.msgs, (std::vector<uint32_t>{3, 1, 2}));
  DestroyHiddenWindow(w);
}

TEST(Messages, OwnerThreadMayEndBeforeItsWindowIsUsed) {
  EnsureClass();
  Log log;
  HWND w = nullptr;
  std::thread t([&] { w = CreateHiddenWindow(kClass, &log); });
  t.join();
  // Nobody pumps any more: posting still works, a send times out.
  EXPECT_TRUE(PostMessage(w, 1, 0, 0));
  EXPECT_FALSE(SendMessageTimeout(w, 2, 0, 0, 10, nullptr));
  EXPECT_TRUE(log.msgs.empty());
  DestroyHiddenWindow(w);
  EXPECT_FALSE(IsWindow(w));
}
