// Triggers and notification delivery: the length trigger and the timer,
// match and status trigger tables, the receive cycle the dispatch thread
// runs, and the delivery of a notification to every registered handler.
#include "dispatcher/AwUser.h"

#include <algorithm>

using Guard = std::lock_guard<platform::TCriticalSection>;

namespace {

// A timer trigger further off than this is looked at again after it anyway;
// that costs one turn a minute and bounds any mistake in the reckoning.
constexpr uint32_t kLongestTimerWaitMs = 60000;

bool WatchesLines(const TStatusTrigger &t) { return t.Armed && (t.Kind == stModem || t.Kind == stLine); }
bool WatchesTransmit(const TStatusTrigger &t) {
  return t.Armed && (t.Kind == stOutBuffFree || t.Kind == stOutBuffUsed || t.Kind == stOutSent);
}

} // namespace

void TApdBaseDispatcher::SetAvailThreshold(int32_t length) {
  Guard s(StateLock);
  AvailThreshold = length;
  RecordLogEvent(dlTriggerDataChange, dstAvail, uint32_t(length), nullptr, 0);
}

int32_t TApdBaseDispatcher::GetAvailThreshold() {
  Guard s(StateLock);
  return AvailThreshold;
}

void TApdBaseDispatcher::AddWindowHandler(platform::HWND window) {
  Guard s(StateLock);
  WindowHandlers.push_back(TWindowHandlerEntry{window, false});
  NotifyWanted.store(true);
  RecordLogEvent(dlTriggerHandlerAlloc, dstWindow, uint32_t(reinterpret_cast<uintptr_t>(window)), nullptr, 0);
}

void TApdBaseDispatcher::RemoveWindowHandler(platform::HWND window) {
  Guard s(StateLock);
  auto it = std::find_if(WindowHandlers.begin(), WindowHandlers.end(),
                         [window](const TWindowHandlerEntry &e) { return e.Window == window; });
  if (it == WindowHandlers.end()) {
    RecomputeNotifyWantedLocked(nwRecompute);
    return;
  }
  RecordLogEvent(dlTriggerHandlerDispose, dstWindow, uint32_t(reinterpret_cast<uintptr_t>(window)), nullptr, 0);
  if (Notifying.load()) {
    it->Removed = true; // the delivery in progress still walks the list
    HandlersRemoved = true;
  } else {
    WindowHandlers.erase(it);
    RecomputeNotifyWantedLocked(nwRecompute);
  }
}

void TApdBaseDispatcher::AddProcHandler(TApdNotifyProc proc) {
  Guard s(StateLock);
  ProcedureHandlers.push_back(TProcHandlerEntry{proc, false});
  NotifyWanted.store(true);
}

void TApdBaseDispatcher::AddMethodHandler(TApdNotifyMethod method, bool synchronised) {
  Guard s(StateLock);
  MethodHandlers.push_back(TMethodHandlerEntry{std::move(method), false, synchronised});
  NotifyWanted.store(true);
}

void TApdBaseDispatcher::RecomputeNotifyWanted(int kind) {
  Guard s(StateLock);
  RecomputeNotifyWantedLocked(kind);
}

void TApdBaseDispatcher::RecomputeNotifyWantedLocked(int kind) {
  bool others = WindowHandlers.size() > 1 || !ProcedureHandlers.empty() || !MethodHandlers.empty();
  switch (kind) {
  case nwRecompute:
    NotifyWanted.store(others || PortWindowWanted);
    break;
  case nwTriggerEventsAssigned:
    PortWindowWanted = true;
    NotifyWanted.store(true);
    break;
  case nwNoTriggerEvents:
    PortWindowWanted = false;
    NotifyWanted.store(others);
    break;
  default:
    break;
  }
}

void TApdBaseDispatcher::SaveTriggerSet(TSavedTriggerSet &set) {
  FreeTriggerSet(set);
  Guard s(StateLock);
  set.AvailThreshold = AvailThreshold;
  set.Timers = TimerTable;
  set.Matches = MatchTable;
  set.Statuses = StatusTable;
}

void TApdBaseDispatcher::RestoreTriggerSet(const TSavedTriggerSet &set) {
  Guard s(StateLock);
  AvailThreshold = set.AvailThreshold;
  TimerTable = set.Timers;
  MatchTable = set.Matches;
  StatusTable = set.Statuses;
  TriggerTablesChanged();
}

void TApdBaseDispatcher::FreeTriggerSet(TSavedTriggerSet &set) {
  set.AvailThreshold = 0;
  set.Timers.clear();
  set.Matches.clear();
  set.Statuses.clear();
}

void TApdBaseDispatcher::ClearTriggerTables() {
  Guard s(StateLock);
  AvailThreshold = 0;
  TimerTable.clear();
  MatchTable.clear();
  StatusTable.clear();
  TriggerTablesChanged();
}

void TApdBaseDispatcher::TriggerTablesChanged() {
  WatchLineEvents(std::any_of(StatusTable.begin(), StatusTable.end(), WatchesLines));
  DispatchWakeEvent.Set();
}

uint32_t TApdBaseDispatcher::DispatchWaitMs() {
  Guard s(StateLock);
  uint32_t wait = platform::kInfinite;
  if (std::any_of(StatusTable.begin(), StatusTable.end(), WatchesTransmit))
    wait = StatusPassSliceMs;
  const uint32_t now = platform::MillisecondClock();
  for (const TTimerTrigger &t : TimerTable) {
    if (!t.Active)
      continue;
    platform::TTickTimer tt{t.StartTicks, t.ExpireTicks};
    wait = std::min({wait, platform::TickTimerRemainingMsAt(tt, now), kLongestTimerWaitMs});
  }
  return wait;
}

void TApdBaseDispatcher::ResetStatusHits() {
  Guard s(StateLock);
  for (auto &st : StatusTable)
    st.Hit = 0;
  StatusHitSeen = false;
}

bool TApdBaseDispatcher::RunStatusTriggers() {
  while (CheckStatusTriggers() >= 0) {
    if (ClosePending.load())
      return false;
  }
  return true;
}

void TApdBaseDispatcher::ReceiveCycle() {
  // 1. A comm-event word at the head of the queue belongs to this cycle.
  EventWord = 0;
  if (TIOBuffer *b = InputQueue.PeekBuffer()) {
    if (auto *st = dynamic_cast<TStatusBuffer *>(b)) {
      EventWord = st->EventWord;
      InputQueue.PopBuffer();
    } else {
      InputQueue.ReleaseBuffer(b);
    }
  }
  // 2., 3. Ring and modem-line changes.
  if (EventWord & evRingEvents) {
    Guard s(StateLock);
    RingSeen = true;
  }
  bool seenHit;
  if (EventWord & evModemEvents) {
    uint32_t fresh = PlatformModemStatus() & mdLevels;
    {
      Guard s(StateLock);
      uint32_t old = uint8_t(ModemBits);
      ModemBits = fresh | (ModemBits & mdDeltas);
      ModemBits |= ((old ^ ModemBits) & mdLevels) >> mdDeltaShift;
    }
    if (!Notifying.load() && !RunStatusTriggers())
      return;
    {
      Guard s(StateLock);
      seenHit = StatusHitSeen;
    }
    if (seenHit)
      ResetStatusHits();
  }
  // 4. Line errors and breaks.
  if (EventWord & evLineEvents) {
    RefreshLineStatus();
    if (!Notifying.load() && !RunStatusTriggers())
      return;
    {
      Guard s(StateLock);
      seenHit = StatusHitSeen;
    }
    if (seenHit)
      ResetStatusHits();
  }
  // 5.
  MoveDeviceData();
  // 6. Status, then receive triggers, until a check says another is not worthwhile.
  if (!Notifying.load()) {
    bool watched;
    {
      Guard s(StateLock);
      watched = std::any_of(StatusTable.begin(), StatusTable.end(), WatchesLines);
    }
    // Only a trigger on the lines needs them. On a USB adapter each look is
    // a USB request, which takes seconds to fail while the adapter is being
    // unplugged, and a close waits for this thread.
    if (watched) {
      uint8_t ms = ReadModemStatus();
      Guard s(StateLock);
      ModemBits = ms; // deltas stay visible until another reader takes them
    }
    if (!RunStatusTriggers())
      return;
    while (CheckReceiveTriggers()) {
      if (ClosePending.load())
        return;
    }
  }
  // 7.
  {
    Guard s(StateLock);
    seenHit = StatusHitSeen;
  }
  if (seenHit)
    ResetStatusHits();
}

bool TApdBaseDispatcher::MatchTriggerByte(TMatchTrigger &m, uint8_t b) {
  if (m.IgnoreCase && b >= 'a' && b <= 'z')
    b = uint8_t(b - 'a' + 'A'); // patterns are held in upper case
  uint32_t len = std::min<uint32_t>(m.Length, MatchCounterCount);
  if (len == 0)
    return false;
  int32_t *c = m.Counters;
  const uint8_t *p = m.Pattern;
  bool found = false, started = false, examine = true;
  for (uint32_t i = 0; i < len; ++i) {
    if (examine) {
      if (c[i] >= 0 && uint32_t(c[i]) < len && p[c[i]] == b) {
        if (uint32_t(c[i]) == len - 1) {
          found = true;
          std::fill(c, c + MatchCounterCount, 0);
        } else {
          ++c[i];
        }
      } else if (p[0] == b) {
        started = true;
        c[i] = 1;
      } else {
        c[i] = 0;
      }
    }
    if (c[i] == 1)
      started = true;
    if (i == len - 1)
      examine = false;
    else if (started)
      examine = c[i + 1] != 0;
    else
      examine = c[i + 1] != 0 || p[0] == b;
  }
  return found;
}

bool TApdBaseDispatcher::CheckReceiveTriggers() {
  uint32_t pos, head, tail;
  uint64_t total;
  {
    Guard r(ReceiveLock);
    if (!ReceiveRing)
      return false;
    head = RingHead;
    tail = RingTail;
    total = ReceivedTotal;
  }
  pos = ScanPosition;
  bool anyMatch;
  {
    Guard s(StateLock);
    anyMatch = std::any_of(MatchTable.begin(), MatchTable.end(), [](const TMatchTrigger &m) { return m.Length != 0; });
  }
  while (anyMatch && pos != head) {
    uint8_t b;
    {
      Guard r(ReceiveLock);
      if (!ReceiveRing)
        return false;
      b = ReceiveRing[pos];
    }
    uint32_t longest = 0;
    bool matched = false;
    {
      Guard s(StateLock);
      for (auto &m : MatchTable) {
        if (m.Length != 0 && !m.Matched && MatchTriggerByte(m, b))
          m.Matched = 1;
        if (m.Matched) {
          matched = true;
          longest = std::max(longest, m.Length);
        }
      }
    }
    if (!matched) {
      pos = (pos + 1) % ReceiveRingSize;
      continue;
    }
    bool result = true;
    int32_t threshold = GetAvailThreshold();
    if (threshold > 0 && LastNotifiedHead != pos) {
      // Unread bytes from the tail through the matched byte.
      int64_t upto = int64_t((pos + ReceiveRingSize - tail) % ReceiveRingSize) + 1;
      if (upto - int64_t(longest) >= threshold) {
        result = DeliverNotification(NotifyAvail, uint32_t(upto - longest), 0);
        ScanPosition = LastNotifiedHead = pos;
      }
    }
    size_t entries;
    {
      Guard s(StateLock);
      entries = MatchTable.size();
    }
    for (size_t i = entries; i-- > 0;) {
      uint32_t handle, length;
      {
        Guard s(StateLock);
        if (i >= MatchTable.size())
          break; // the table shrank meanwhile
        TMatchTrigger &m = MatchTable[i];
        if (!m.Matched)
          continue;
        m.Matched = 0;
        handle = m.Handle;
        length = m.Length;
      }
      result = DeliverNotification(NotifyData, handle, length);
    }
    ScanPosition = (pos + 1) % ReceiveRingSize;
    return result;
  }
  pos = head; // the scan reached the head (at once without match triggers)
  ScanPosition = pos;
  uint32_t count = ReceivedCount();
  int32_t threshold = GetAvailThreshold();
  if (threshold > 0 && LastNotifiedTotal != total && count >= uint32_t(threshold)) {
    bool r = DeliverNotification(NotifyAvail, count, 0);
    LastNotifiedHead = pos;
    LastNotifiedTotal = total;
    return r;
  }
  return false;
}

int TApdBaseDispatcher::CheckStatusTriggers() {
  bool needTx;
  {
    Guard s(StateLock);
    if (StatusTable.empty())
      return -1;
    needTx = std::any_of(StatusTable.begin(), StatusTable.end(),
                         [](const TStatusTrigger &t) { return t.Kind == stOutBuffFree || t.Kind == stOutBuffUsed; });
  }
  // The transmit counts take TransmitLock, which comes before StateLock.
  uint32_t txFree = needTx ? TransmitFree() : 0;
  uint32_t txUsed = needTx ? TransmitUsed() : 0;
  uint32_t handle = 0, data = 0;
  {
    Guard s(StateLock);
    size_t i = 0;
    for (; i < StatusTable.size(); ++i) {
      TStatusTrigger &t = StatusTable[i];
      if (!t.Armed || t.Hit)
        continue;
      bool fires = false;
      switch (t.Kind) {
      case stModem: {
        // Value: the lines to look at in the high byte, their expected
        // levels in the low one.
        const uint8_t expected = uint8_t(t.Value), mask = uint8_t(t.Value >> 8);
        fires = ((expected ^ uint8_t(ModemBits)) & mask) != 0;
        break;
      }
      case stLine:
        if ((t.Value & LineErrorBits) != 0) {
          fires = true;
          t.Value = uint16_t(LineErrorBits);
        }
        break;
      case stOutBuffFree:
        fires = txFree >= t.Value;
        data = txFree;
        break;
      case stOutBuffUsed:
        fires = txUsed <= t.Value;
        data = txUsed;
        break;
      case stOutSent:
        fires = SentSinceCheck.exchange(false);
        break;
      default:
        break;
      }
      if (fires) {
        t.Armed = 0;
        t.Hit = 1;
        StatusHitSeen = true;
        handle = t.Handle;
        if (t.Kind != stOutBuffFree && t.Kind != stOutBuffUsed)
          data = 0;
        break;
      }
    }
    if (i == StatusTable.size())
      return -1;
    // A disarmed trigger may leave no line to watch.
    WatchLineEvents(std::any_of(StatusTable.begin(), StatusTable.end(), WatchesLines));
  }
  return DeliverNotification(NotifyStatus, handle, data) ? 1 : 0;
}

int TApdBaseDispatcher::CheckTimerTriggers() {
  uint32_t handle = 0;
  {
    Guard s(StateLock);
    auto it = std::find_if(TimerTable.begin(), TimerTable.end(), [](const TTimerTrigger &t) {
      platform::TTickTimer tt{t.StartTicks, t.ExpireTicks};
      return t.Active && platform::TickTimerExpired(tt);
    });
    if (it == TimerTable.end())
      return -1;
    it->Active = 0;
    handle = it->Handle;
  }
  return DeliverNotification(NotifyTimer, handle, 0) ? 1 : 0;
}

void TApdBaseDispatcher::TimerPass() {
  if (ClosePending.load() || Notifying.load())
    return;
  {
    Guard s(StateLock);
    StatusHitSeen = false;
  }
  for (;;) {
    bool fired = CheckStatusTriggers() >= 0;
    if (!fired)
      fired = CheckTimerTriggers() >= 0;
    if (!fired || ClosePending.load())
      break;
  }
  bool seenHit;
  {
    Guard s(StateLock);
    seenHit = StatusHitSeen;
  }
  if (seenHit)
    ResetStatusHits();
}

void TApdBaseDispatcher::DeleteRemovedHandlers() {
  auto drop = [](auto &list) {
    list.erase(std::remove_if(list.begin(), list.end(), [](const auto &e) { return e.Removed; }), list.end());
  };
  drop(WindowHandlers);
  drop(ProcedureHandlers);
  drop(MethodHandlers);
  HandlersRemoved = false;
  RecomputeNotifyWantedLocked(nwRecompute);
}

bool TApdBaseDispatcher::DeliverNotification(uint32_t msg, uint32_t trigger, uint32_t data) {
  if (!NotifyWanted.load())
    return true;
  {
    Guard s(StateLock);
    Notifying.store(true);
  }
  bool reading = msg == NotifyAvail || msg == NotifyData;
  {
    // Reads the main thread makes from here on, before its handler starts,
    // count as the first handler's: they return the bytes the handler would
    // see first, and the tail moves past them at the end.
    Guard r(ReceiveLock);
    MaxHandlerReadCount = 0;
    HandlerReadCount = 0;
    ReadingInNotify = reading;
  }
  int32_t param = int32_t(NotifyParam(DispatcherIndex, data));
  switch (msg) {
  case NotifyAvail:
    RecordLogEvent(dlTrigger, dstAvailTrigger, trigger, nullptr, 0);
    break;
  case NotifyData:
    RecordLogEvent(dlTrigger, dstDataTrigger, trigger, nullptr, 0);
    break;
  case NotifyTimer:
    RecordLogEvent(dlTrigger, dstTimerTrigger, trigger, nullptr, 0);
    break;
  case NotifyStatus:
    RecordLogEvent(dlTrigger, dstStatusTrigger, trigger, nullptr, 0);
    break;
  default:
    break;
  }

  bool result = true;
  bool firstHandler = true;
  // Every later handler sees the same bytes again from the tail.
  auto beginHandler = [this, &firstHandler] {
    if (firstHandler) {
      firstHandler = false;
      return;
    }
    Guard r(ReceiveLock);
    HandlerReadCount = 0;
  };
  // False when a close arrived meanwhile: no further handler runs.
  auto endHandler = [this]() -> bool {
    if (ClosePending.load())
      return false;
    Guard r(ReceiveLock);
    MaxHandlerReadCount = std::max(MaxHandlerReadCount, HandlerReadCount);
    return true;
  };
  // Entries are read one at a time under the lock: removals wait until the
  // delivery ends, additions only append.
  auto finish = [this] {
    {
      Guard s(StateLock);
      Notifying.store(false);
      if (HandlersRemoved)
        DeleteRemovedHandlers();
    }
    Guard r(ReceiveLock);
    HandlerReadCount = 0;
    ReadingInNotify = false;
  };

  try {
    bool closing = false;
    for (size_t i = 0; !closing; ++i) {
      TMethodHandlerEntry e;
      {
        Guard s(StateLock);
        if (i >= MethodHandlers.size())
          break;
        e = MethodHandlers[i];
      }
      beginHandler();
      if (!e.Removed && e.Method)
        e.Method(msg, trigger, param);
      closing = !endHandler();
    }
    for (size_t i = 0; !closing; ++i) {
      TProcHandlerEntry e;
      {
        Guard s(StateLock);
        if (i >= ProcedureHandlers.size())
          break;
        e = ProcedureHandlers[i];
      }
      beginHandler();
      if (!e.Removed && e.Proc)
        e.Proc(msg, trigger, param);
      closing = !endHandler();
    }
    bool toWindows;
    {
      Guard s(StateLock);
      toWindows = WindowHandlers.size() > 1 || PortWindowWanted;
    }
    for (size_t i = 0; toWindows && !closing; ++i) {
      TWindowHandlerEntry e;
      {
        Guard s(StateLock);
        if (i >= WindowHandlers.size())
          break;
        e = WindowHandlers[i];
      }
      beginHandler();
      if (!e.Removed)
        platform::SendMessageTimeout(e.Window, msg, trigger, param, NotifyTimeoutMs, nullptr);
      closing = !endHandler();
    }
    if (closing) {
      result = false;
    } else if (reading) {
      Guard r(ReceiveLock);
      // Reads made after the last handler returned still count as taken.
      MaxHandlerReadCount = std::max(MaxHandlerReadCount, HandlerReadCount);
      ReadingInNotify = false;
      if (ReceiveRing) {
        RingTail += MaxHandlerReadCount;
        if (RingTail >= ReceiveRingSize)
          RingTail -= ReceiveRingSize;
        if (MaxHandlerReadCount > 0 && RingFull) {
          RingFull = false;
          RingSpaceEvent.Set();
        }
      }
      if (msg == NotifyAvail)
        result = MaxHandlerReadCount == trigger;
    }
  } catch (...) {
    finish();
    throw;
  }
  finish();
  return result;
}
