#include "platform/Sync.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace platform {

TEvent::TEvent(bool manualReset, bool initiallySet)
    : fd_(eventfd(initiallySet ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK)), manual_(manualReset) {}

TEvent::~TEvent() {
  if (fd_ >= 0)
    close(fd_);
}

void TEvent::Set() {
  // The counter only needs to be non-zero; saturating it is impossible in practice.
  uint64_t one = 1;
  while (write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void TEvent::Reset() {
  uint64_t v;
  while (read(fd_, &v, sizeof v) < 0 && errno == EINTR) {
  }
}

bool TEvent::IsSet() const {
  pollfd p{fd_, POLLIN, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

bool TEvent::TryConsume() {
  if (manual_)
    return IsSet();
  uint64_t v;
  for (;;) {
    if (read(fd_, &v, sizeof v) == sizeof v)
      return true;
    if (errno != EINTR)
      return false;
  }
}

static int64_t RemainingMs(uint32_t timeoutMs, const timespec &start) {
  if (timeoutMs == kInfinite)
    return -1;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  int64_t spent = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
  int64_t left = int64_t(timeoutMs) - spent;
  return left < 0 ? 0 : left;
}

int WaitForEvents(std::initializer_list<TEvent *> events, uint32_t timeoutMs) {
  std::vector<pollfd> fds;
  fds.reserve(events.size());
  for (TEvent *e : events)
    fds.push_back(pollfd{e->Handle(), POLLIN, 0});
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    int64_t left = RemainingMs(timeoutMs, start);
    int r = poll(fds.data(), fds.size(), int(left));
    if (r < 0) {
      if (errno == EINTR)
        continue;
      return kWaitFailed;
    }
    if (r == 0)
      return kWaitTimedOut;
    int i = 0;
    for (TEvent *e : events) {
      if (fds[i].revents & (POLLERR | POLLNVAL))
        return kWaitFailed;
      if ((fds[i].revents & POLLIN) && e->TryConsume())
        return i;
      ++i;
    }
    // Another waiter took every signal we saw: wait on for the rest.
    if (left == 0)
      return kWaitTimedOut;
  }
}

WaitResult TEvent::Wait(uint32_t timeoutMs) {
  TEvent *self = this;
  int r = WaitForEvents({self}, timeoutMs);
  if (r == 0)
    return WaitResult::Signaled;
  return r == kWaitTimedOut ? WaitResult::TimedOut : WaitResult::Failed;
}

static const int kNiceForLevel[7] = {19, 10, 5, 0, -5, -10, -15};

bool SetThreadPriority(int64_t threadId, int level) {
  if (level < 0)
    level = 0;
  if (level > 6)
    level = 6;
  if (setpriority(PRIO_PROCESS, id_t(threadId), kNiceForLevel[level]) == 0)
    return true;
  return errno == EACCES || errno == EPERM; // a refused raise is fine
}

int GetThreadPriority(int64_t threadId) {
  errno = 0;
  int nice = getpriority(PRIO_PROCESS, id_t(threadId));
  if (nice == -1 && errno != 0)
    return -1;
  int best = 3;
  int bestDist = 100;
  for (int l = 0; l < 7; ++l) {
    int d = kNiceForLevel[l] - nice;
    if (d < 0)
      d = -d;
    if (d < bestDist) {
      bestDist = d;
      best = l;
    }
  }
  return best;
}

int64_t CurrentThreadId() { return int64_t(syscall(SYS_gettid)); }

} // namespace platform
