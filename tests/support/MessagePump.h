#pragma once
// Waiting while the calling thread handles its window messages.
#include "platform/Messages.h"
#include "tests/support/Wait.h"

namespace support {

// Handles one message at a time, so the condition is seen after each.
template <class Cond>
bool PumpUntil(Cond &&cond, std::chrono::milliseconds limit = kDeadline) {
  return WaitUntil(cond, limit, [] {
    if (!platform::ProcessOneMessage())
      platform::WaitForMessage(10);
  });
}

// Handles whatever is pending now and what arrives within a quiet spell,
// for checks that nothing more happens.
inline void PumpPending(std::chrono::milliseconds quiet = 200ms) {
  while (platform::WaitForMessage(uint32_t(quiet.count())))
    while (platform::ProcessOneMessage()) {
    }
}

} // namespace support
