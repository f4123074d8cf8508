#pragma once
// The records behind notifications: handler entries, the trigger tables'
// fixed layouts (saved and restored as they are) and the set the port
// component keeps across a close and reopen.
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/Messages.h"

// Handler entries, in registration order.
using TApdNotifyProc = void (*)(uint32_t msg, uint32_t trigger, int32_t param);
using TApdNotifyMethod = std::function<void(uint32_t msg, uint32_t trigger, int32_t param)>;

struct TWindowHandlerEntry {
  platform::HWND Window = nullptr;
  bool Removed = false;
};
struct TProcHandlerEntry {
  TApdNotifyProc Proc = nullptr;
  bool Removed = false;
};
struct TMethodHandlerEntry {
  TApdNotifyMethod Method;
  bool Removed = false;
  bool Synchronised = false;
};

// Status trigger kinds; a status notification's trigger handle carries its
// kind in the low bits (handle AND StatusKindMask).
constexpr uint32_t stModem = 1;
constexpr uint32_t stLine = 2;
constexpr uint32_t stOutBuffFree = 3;
constexpr uint32_t stOutBuffUsed = 4;
constexpr uint32_t stOutSent = 5;
constexpr uint32_t StatusKindMask = 7;

// Partial-match counters of a match trigger: the longest pattern it follows.
constexpr uint32_t MatchCounterCount = 22;

#pragma pack(push, 1)
struct TTimerTrigger {
  uint32_t Handle;
  int32_t StartTicks;
  int32_t ExpireTicks;
  int32_t Reserved1;
  int32_t Reserved2;
  int32_t Active;
};
struct TMatchTrigger {
  uint32_t Handle;
  uint32_t Length; // 0: not in use
  int32_t Counters[MatchCounterCount];
  int32_t Matched;
  int32_t IgnoreCase;
  uint8_t Pattern[24];
};
struct TStatusTrigger {
  uint32_t Handle;
  uint32_t Kind; // stModem .. stOutSent
  uint16_t Value;
  uint8_t Armed;
  uint8_t Hit;
};
#pragma pack(pop)
static_assert(sizeof(TTimerTrigger) == 24);
static_assert(sizeof(TMatchTrigger) == 128);
static_assert(sizeof(TStatusTrigger) == 12);

// The trigger tables and length trigger kept by the component across a
// close and reopen.
struct TSavedTriggerSet {
  int32_t AvailThreshold = 0;
  std::vector<TTimerTrigger> Timers;
  std::vector<TMatchTrigger> Matches;
  std::vector<TStatusTrigger> Statuses;
};
