#pragma once
// Events, critical sections and thread priorities.
//
// An event is an eventfd so that a thread can wait on events and a device in
// one poll; that is what lets a stop request cut any wait short.
#include <cstdint>
#include <initializer_list>
#include <mutex>

namespace platform {

enum class WaitResult { Signaled, TimedOut, Failed };

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

class TEvent {
public:
  // Auto-reset unless manualReset: a successful wait clears it again.
  explicit TEvent(bool manualReset = false, bool initiallySet = false);
  ~TEvent();
  TEvent(const TEvent &) = delete;
  TEvent &operator=(const TEvent &) = delete;

  bool Valid() const { return fd_ >= 0; }
  void Set();
  void Reset();
  // Signaled (and, for auto-reset, consumed), TimedOut, or Failed.
  WaitResult Wait(uint32_t timeoutMs);
  // True when set, without consuming it.
  bool IsSet() const;
  bool ManualReset() const { return manual_; }

  // The eventfd, for waits that poll it beside other descriptors (the
  // platform's multiplexed waits, the main thread's socket notifier).
  int Handle() const { return fd_; }
  // After poll reported the handle readable: consume for auto-reset; false
  // when another waiter took it first.
  bool TryConsume();

private:
  int fd_;
  bool manual_;
};

// Waits for any of the events; returns its index (consumed when auto-reset),
// kWaitTimedOut or kWaitFailed. Earlier events win when several are set.
constexpr int kWaitTimedOut = -1;
constexpr int kWaitFailed = -2;
int WaitForEvents(std::initializer_list<TEvent *> events, uint32_t timeoutMs);

// Recursive, as the callers take the same lock again in nested operations.
class TCriticalSection {
public:
  void Enter() { mutex_.lock(); }
  void Leave() { mutex_.unlock(); }
  // BasicLockable, for std::lock_guard / std::unique_lock.
  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }

private:
  std::recursive_mutex mutex_;
};

// Priority levels: 0 idle, 1 lowest, 2 lower, 3 normal, 4 higher,
// 5 highest, 6 time-critical. Maps onto the thread's nice value.
// A refused raise is not an error; returns false only for a bad thread id.
constexpr int kPriorityNormal = 3;
bool SetThreadPriority(int64_t threadId, int level);
int GetThreadPriority(int64_t threadId);
int64_t CurrentThreadId();

} // namespace platform
