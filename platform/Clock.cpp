#include "platform/Clock.h"

#include <time.h>

namespace platform {

uint32_t MillisecondClock() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms = uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
  return uint32_t(ms); // wraps like the 32-bit counter callers expect
}

void SleepMs(uint32_t ms) {
  timespec ts{time_t(ms / 1000), long(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

void StartTickTimerAt(TTickTimer &timer, int32_t ticks, uint32_t clockMs) {
  if (ticks > kMaxTicks)
    ticks = kMaxTicks;
  timer.StartTicks = int32_t(clockMs / kTickMs);
  timer.ExpireTicks = timer.StartTicks + ticks;
}

bool TickTimerExpiredAt(const TTickTimer &timer, uint32_t clockMs) {
  int32_t now = int32_t(clockMs / kTickMs);
  if (now > timer.ExpireTicks)
    return true;
  if (now < timer.StartTicks) // the clock wrapped since the start
    return now + kMaxTicks > timer.ExpireTicks;
  return false;
}

uint32_t TickTimerRemainingMsAt(const TTickTimer &timer, uint32_t clockMs) {
  if (TickTimerExpiredAt(timer, clockMs))
    return 0;
  // Expired once the tick count passes the expiry tick; an expiry tick the
  // clock never reaches is passed by the wrapped count's rule instead.
  const uint64_t turn = uint64_t(1) << 32;
  uint64_t due = (uint64_t(int64_t(timer.ExpireTicks)) + 1) * kTickMs;
  if (due > turn) {
    const int64_t wrappedTick = int64_t(timer.ExpireTicks) - kMaxTicks + 1;
    due = turn + uint64_t(wrappedTick > 0 ? wrappedTick : 0) * kTickMs;
  }
  const uint64_t now = clockMs;
  if (due <= now)
    return 1; // within the current tick: look again at once
  const uint64_t left = due - now;
  return left > 0xFFFFFFFEu ? 0xFFFFFFFEu : uint32_t(left);
}

void StartTickTimer(TTickTimer &timer, int32_t ticks) { StartTickTimerAt(timer, ticks, MillisecondClock()); }

bool TickTimerExpired(const TTickTimer &timer) { return TickTimerExpiredAt(timer, MillisecondClock()); }

} // namespace platform
