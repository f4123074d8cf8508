#pragma once
// Waiting on a condition with a deadline. What runs between two checks
// depends on the waiter: a plain thread gives the processor away, a thread
// with window messages or a Qt event loop keeps handling them (see
// MessagePump.h and EventLoop.h).
#include <chrono>
#include <thread>

namespace support {

using namespace std::chrono_literals;

#if defined(ZK_SANITIZED)
inline constexpr bool kSanitizerBuild = true;
#else
inline constexpr bool kSanitizerBuild = false;
#endif

// Sanitizer builds run our threads several times slower than a plain build.
inline constexpr int kSlowFactor = kSanitizerBuild ? 8 : 1;

// A time limit the behaviour promises, widened in a sanitizer build.
constexpr std::chrono::milliseconds Scaled(std::chrono::milliseconds limit) { return limit * kSlowFactor; }

// How long a wait gives a condition that should hold soon.
inline constexpr std::chrono::milliseconds kDeadline = Scaled(10s);

// Checks cond until it holds (true) or the limit passes (false), running
// between() after each failed check.
template <class Cond, class Between>
bool WaitUntil(Cond &&cond, std::chrono::milliseconds limit, Between &&between) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= end)
      return false;
    between();
  }
  return true;
}

// Waits from a thread that handles nothing else meanwhile.
template <class Cond>
bool WaitFor(Cond &&cond, std::chrono::milliseconds limit = kDeadline) {
  return WaitUntil(cond, limit, [] { std::this_thread::sleep_for(1ms); });
}

} // namespace support
