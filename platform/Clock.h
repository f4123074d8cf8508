#pragma once
// The wrapping millisecond clock and the 55 ms tick timers built on it.
#include <cstdint>

namespace platform {

// Monotonic milliseconds as an unsigned 32-bit value; wraps after ~49.7 days.
uint32_t MillisecondClock();

// Blocks the calling thread; used for the bounded polls of line settings.
void SleepMs(uint32_t ms);

// Start and expiry in 55 ms ticks of MillisecondClock.
struct TTickTimer {
  int32_t StartTicks = 0;
  int32_t ExpireTicks = 0;
};

constexpr uint32_t kTickMs = 55;
constexpr int32_t kMaxTicks = 39045157; // (2^32 - 1) div 55 + 1: one full clock turn

void StartTickTimer(TTickTimer &timer, int32_t ticks);
bool TickTimerExpired(const TTickTimer &timer);

// The same with an explicit clock reading, so the wrap can be reasoned about.
void StartTickTimerAt(TTickTimer &timer, int32_t ticks, uint32_t clockMs);
bool TickTimerExpiredAt(const TTickTimer &timer, uint32_t clockMs);
// Milliseconds until the timer will have expired (0 when it has), so a
// waiter can sleep that long instead of looking again and again.
uint32_t TickTimerRemainingMsAt(const TTickTimer &timer, uint32_t clockMs);

} // namespace platform
