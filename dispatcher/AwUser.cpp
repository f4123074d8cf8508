// The dispatcher core: the registry of live dispatchers, the threads' start
// and end, opening and closing, and the data operations on both rings.
#include "dispatcher/AwUser.h"

#include "runtime/SysUtils.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <thread>

using Guard = std::lock_guard<platform::TCriticalSection>;

namespace {
// How long a wait for the threads sleeps between looks at its messages.
constexpr uint32_t kPumpWaitMs = 2;
} // namespace

std::vector<TApdBaseDispatcher *> DispatcherList;
platform::TCriticalSection DispatcherListLock;

TApdBaseDispatcher *DispatcherFromParam(intptr_t secondParam) {
  size_t index = NotifyParamIndex(secondParam);
  if (index >= DispatcherList.size())
    return nullptr;
  return DispatcherList[index];
}

// ---------------------------------------------------------------- threads

bool TApdDispatcherThread::Start() {
  H->ActiveThreads.fetch_add(1);
  try {
    std::thread([this] { Run(); }).detach();
    return true;
  } catch (const std::system_error &) {
    H->ActiveThreads.fetch_sub(1); // never ran: nothing will count it down
    return false;
  }
}

void TApdDispatcherThread::Run() {
  TApdBaseDispatcher *h = H;
  TThreadKind kind = Kind();
  threadId_.store(platform::CurrentThreadId());
  h->ThreadIds[int(kind)].store(threadId_.load());
  // No lock here: StartThreads holds StateLock while it waits for us.
  if (uint8_t boost = h->ThreadBoostLevel.load())
    platform::SetThreadPriority(threadId_.load(), TApdBaseDispatcher::ThreadLevel(kind, boost, h->Rs485Active.load()));
  try {
    Execute();
  } catch (const std::exception &e) {
    if (h->PortComponent)
      h->PortComponent->ShowDispatcherException(e);
  } catch (...) {
  }
  h->ThreadGone(this, kind);
  delete this; // nothing of the dispatcher is touched after ThreadGone
}

// ------------------------------------------------------------- lifecycle

TApdBaseDispatcher::TApdBaseDispatcher(TApdDispatcherOwner *owner) : PortComponent(owner) {
  Guard g(DispatcherListLock);
  auto hole = std::find(DispatcherList.begin(), DispatcherList.end(), nullptr);
  if (hole != DispatcherList.end()) {
    *hole = this;
    DispatcherIndex = int32_t(hole - DispatcherList.begin());
  } else {
    DispatcherList.push_back(this);
    DispatcherIndex = int32_t(DispatcherList.size() - 1);
  }
}

TApdBaseDispatcher::~TApdBaseDispatcher() {
  // The derived destructor has run Shutdown(); the device is gone by now.
  {
    Guard g(DispatcherListLock);
    if (DispatcherIndex >= 0 && size_t(DispatcherIndex) < DispatcherList.size() &&
        DispatcherList[DispatcherIndex] == this) {
      DispatcherList[DispatcherIndex] = nullptr;
      while (!DispatcherList.empty() && DispatcherList.back() == nullptr)
        DispatcherList.pop_back();
    }
  }
  // A thread may still be leaving ThreadGone: wait until it let go of the lock.
  Guard g(StateLock);
}

void TApdBaseDispatcher::Shutdown() {
  if (shutdownDone_)
    return;
  shutdownDone_ = true;
  if (ClosePending.load())
    ReleaseBuffers();
  else
    CloseDispatcher();
  PumpUntil([this] { return ActiveThreads.load() == 0; }, platform::kInfinite);
}

bool TApdBaseDispatcher::PumpUntil(const std::function<bool()> &done, uint32_t maxMs) {
  uint32_t start = platform::MillisecondClock();
  while (!done()) {
    if (maxMs != platform::kInfinite && platform::MillisecondClock() - start >= maxMs)
      return false;
    if (!platform::ProcessOneMessage())
      platform::WaitForMessage(kPumpWaitMs);
  }
  return true;
}

int32_t TApdBaseDispatcher::OpenDispatcher(const std::string &portName, int32_t rate, uint8_t parity, uint8_t dataBits,
                                           uint8_t stopBits, uint32_t inSize, uint32_t outSize, uint8_t lineOptions) {
  RingSeen = false;
  Notifying.store(false);
  HandlersRemoved = false;
  ClosePending.store(false);
  DeviceLostSeen.store(false);
  if (!ThreadReadyEvent) {
    ThreadReadyEvent = std::make_unique<platform::TEvent>();
    TransmitEvent = std::make_unique<platform::TEvent>();
    TransmitFlushEvent = std::make_unique<platform::TEvent>();
  }
  ThreadReadyEvent->Reset();
  TransmitEvent->Reset();
  TransmitFlushEvent->Reset();

  auto fail = [this](int32_t code) {
    CloseDevice();
    return code;
  };

  DeviceInSize = inSize;
  int32_t h = OpenDevice(portName, inSize, outSize);
  if (h < 0) {
    if (h == ecOutOfMemory)
      return fail(ecOutOfMemory);
    return fail(ResultForPlatformError(LastPlatformError.load()));
  }
  if (!SetupDeviceQueues(inSize, outSize))
    return fail(ResultForPlatformError(LastPlatformError.load()));

  {
    Guard t(TransmitLock);
    TransmitSize = outSize;
    TransmitRing.reset(new uint8_t[outSize ? outSize : 1]());
    TransmitHead = TransmitTail = 0;
    TransmitFull = false;
  }
  {
    Guard r(ReceiveLock);
    ReceiveRing.reset(new uint8_t[ReceiveRingSize]());
    RingFull = false;
    HandlerReadCount = 0;
    RingHead = RingTail = 0;
    ReadingInNotify = false;
    RingSpaceWanted = rsNone;
  }
  {
    Guard s(StateLock);
    LineErrorBits = 0;
    StatusCheckOnEnd = false;
    SentSinceCheck.store(false);
    Rs485Active.store(false);
    Rs485Hardware.store(false);
    UartBase = 0;
    ReadDeviceState(DeviceControl);
  }
  if (lineOptions & loDtrByFlow)
    DtrByFlow = true;
  else
    DriveDtr((lineOptions & loDtrOn) ? 1 : 0);
  if (lineOptions & loRtsByFlow)
    RtsByFlow = true;
  else
    DriveRts((lineOptions & loRtsOn) ? 1 : 0);

  ScanPosition = 0;
  ClearTriggerTables();
  LastNotifiedHead = 0;
  LastNotifiedTotal = 0;
  {
    Guard r(ReceiveLock);
    ReceivedTotal = 0;
  }
  {
    Guard s(StateLock);
    StatusHitSeen = false;
    for (auto &st : StatusTable)
      st.Hit = 0;
    ModemBits = 0;
  }
  ReadModemStatus();
  CurrentRate.store(RateAfterOpen);

  int32_t r = ApplyLineFormat(rate, parity, dataBits, stopBits);
  if (r < 0)
    return fail(r);

  RefreshLineStatus();
  ResetTraceAndLog();
  StartThreads();
  return ecOK;
}

void TApdBaseDispatcher::CloseDispatcher() {
  if (DeviceHandle.load() >= 0) {
    FlushTransmit();
    FlushReceive();
    CloseDevice();
  }
  if (Notifying.load())
    ClosePending.store(true); // the dispatch thread finishes the notification and releases
  else
    ReleaseBuffers();
}

void TApdBaseDispatcher::ReleaseBuffers() {
  ReleaseOnThreadEnd.store(false);
  if (ThreadsStarted.load())
    StopThreads();
  {
    Guard t(TransmitLock);
    TransmitRing.reset();
    TransmitHead = TransmitTail = 0;
    TransmitFull = false;
  }
  Guard r(ReceiveLock);
  Guard s(StateLock);
  ReceiveRing.reset();
  RingHead = RingTail = 0;
  RingFull = false;
}

void TApdBaseDispatcher::RequestStop() {
  StopRequested.store(true);
  // The dispatch thread waits on these: let it see the stop at once.
  InputQueue.WakeEvent().Set();
  RingSpaceEvent.Set();
  DispatchWakeEvent.Set();
}

void TApdBaseDispatcher::ThreadGone(TApdDispatcherThread *thread, TThreadKind kind) {
  int32_t code = thread->Result();
  bool checkStatus = false;
  if (code == ecDeviceRead || code == ecDeviceWrite) {
    // The read and the status thread may both notice a hang-up: record it once.
    if (!DeviceLostSeen.exchange(true)) {
      Guard s(StateLock);
      LineErrorBits = LineErrorsDeviceLost;
      if (DispThread.load() && kind != TThreadKind::Dispatch)
        StatusCheckOnEnd = true;
      else
        checkStatus = true;
    }
  } else if (code != 0 && PortComponent) {
    try {
      PortComponent->DispatcherErrorCheck(code);
    } catch (const std::exception &e) {
      PortComponent->ShowDispatcherException(e);
    } catch (...) {
    }
  }
  {
    Guard s(StateLock);
    ThreadIds[int(kind)].store(0);
    switch (kind) {
    case TThreadKind::Read:
      ReadThread.store(nullptr);
      break;
    case TThreadKind::Dispatch:
      DispThread.store(nullptr);
      break;
    case TThreadKind::Write:
      WriteThread.store(nullptr);
      break;
    case TThreadKind::Status:
      StatusThread.store(nullptr);
      break;
    }
    if (kind == TThreadKind::Dispatch) {
      checkStatus = checkStatus || StatusCheckOnEnd;
      StatusCheckOnEnd = false;
    }
  }
  if (checkStatus && !ClosePending.load())
    RunStatusTriggers();
  if (kind == TThreadKind::Dispatch) {
    ReleaseOnThreadEnd.store(ClosePending.load() || StopRequested.load());
    if (ReleaseOnThreadEnd.load()) {
      ReleaseBuffers();
      ReleaseOnThreadEnd.store(false);
    }
  }
  Guard s(StateLock);
  if (ActiveThreads.fetch_sub(1) == 1)
    ThreadsStarted.store(false);
}

// --------------------------------------------------------- data operations

uint32_t TApdBaseDispatcher::DeviceBytesWaiting() { return 0; }

int32_t TApdBaseDispatcher::SendByte(uint8_t c) { return SendBlock(&c, 1); }

int32_t TApdBaseDispatcher::SendBlock(const void *buffer, uint32_t length) {
  if (length == 0)
    return ecOK;
  {
    Guard t(TransmitLock);
    // A write to a device that went away fails as a write, whatever became
    // of the buffers meanwhile.
    if (DeviceLostSeen.load())
      return ecDeviceWrite;
    if (!TransmitRing)
      return ecOutputBufferTooSmall; // the port's buffers are gone
    uint32_t used = TransmitBufferUsed();
    uint32_t freeBytes = TransmitSize - used;
    if (length > freeBytes)
      return ecOutputBufferTooSmall;
    if (Rs485Active.load() && !Rs485Hardware)
      EscapeDevice(platform::escSetRts);
    if (length == freeBytes)
      TransmitFull = true;
    WriteDevice(static_cast<const uint8_t *>(buffer), length);
    SentSinceCheck.store(true);
  }
  Guard s(StateLock);
  RecordLogEvent(dlDispatch, dstWriteCom, length, buffer, length);
  if (TraceActive) {
    const uint8_t *p = static_cast<const uint8_t *>(buffer);
    for (uint32_t i = 0; i < length; ++i)
      RecordTraceByte('T', p[i]);
  }
  return ecOK;
}

uint32_t TApdBaseDispatcher::UnreadBytesLocked() const {
  if (RingFull && RingHead == RingTail)
    return ReceiveRingSize;
  return (RingHead + ReceiveRingSize - RingTail) % ReceiveRingSize;
}

int32_t TApdBaseDispatcher::ReceiveByte(uint8_t &c) {
  Guard r(ReceiveLock);
  if (!ReceiveRing)
    return ecBufferIsEmpty;
  uint32_t unread = UnreadBytesLocked();
  if (ReadingInNotify) {
    // Inside a notification reads don't consume; the tail moves afterwards.
    if (HandlerReadCount + 1 > unread)
      return ecBufferIsEmpty;
    ++HandlerReadCount;
    c = ReceiveRing[(RingTail + HandlerReadCount - 1) % ReceiveRingSize];
  } else {
    if (unread == 0)
      return ecBufferIsEmpty;
    c = ReceiveRing[RingTail];
    RingTail = (RingTail + 1) % ReceiveRingSize;
    RingFull = false;
    // Refilling byte by byte would wake the dispatch thread for every read.
    if (RingSpaceWanted == rsAnyRoom || (RingSpaceWanted == rsHalfEmpty && unread - 1 <= ReceiveRingSize / 2)) {
      RingSpaceWanted = rsNone;
      RingSpaceEvent.Set();
    }
  }
  // Each byte read would otherwise take a second lock just to learn that
  // nothing is being traced.
  if (TraceActive.load(std::memory_order_relaxed)) {
    Guard s(StateLock);
    if (TraceActive)
      RecordTraceByte('R', c);
  }
  return ecOK;
}

int32_t TApdBaseDispatcher::PeekByte(uint8_t &c, uint32_t position) {
  Guard r(ReceiveLock);
  if (!ReceiveRing || position == 0)
    return ecBufferIsEmpty;
  // Inside a notification the bytes the handler has read are still in the
  // ring; a peek looks past them, at what the next read would return.
  const uint32_t skip = ReadingInNotify ? HandlerReadCount : 0;
  if (UnreadBytesLocked() < skip + position)
    return ecBufferIsEmpty;
  c = ReceiveRing[(RingTail + skip + position - 1) % ReceiveRingSize];
  return ecOK;
}

uint32_t TApdBaseDispatcher::ReceivedCount() {
  Guard r(ReceiveLock);
  if (!ReceiveRing)
    return 0;
  uint32_t n = UnreadBytesLocked();
  if (ReadingInNotify)
    n = n > HandlerReadCount ? n - HandlerReadCount : 0;
  return n;
}

uint32_t TApdBaseDispatcher::TransmitUsed() {
  Guard t(TransmitLock);
  RefreshLineStatus();
  Guard s(StateLock);
  return DeviceStatus.OutQue;
}

uint32_t TApdBaseDispatcher::TransmitFree() {
  Guard t(TransmitLock);
  if (!TransmitRing)
    return 0;
  return TransmitSize - TransmitUsed();
}

int32_t TApdBaseDispatcher::SizeDeviceQueues(uint32_t inSize, uint32_t outSize) {
  if (SetupDeviceQueues(inSize, outSize))
    return ecOK;
  return -int32_t(LastPlatformError.load());
}

int32_t TApdBaseDispatcher::FlushTransmit() { return PurgeDevice(0); }

int32_t TApdBaseDispatcher::FlushReceive() {
  Guard r(ReceiveLock);
  int32_t result = PurgeDevice(1);
  if (ReceiveRing) {
    if (ReadingInNotify)
      MaxHandlerReadCount = UnreadBytesLocked();
    else {
      RingTail = RingHead;
      HandlerReadCount = 0;
    }
  }
  if (RingFull || RingSpaceWanted != rsNone) {
    RingSpaceWanted = rsNone;
    RingSpaceEvent.Set();
  }
  RingFull = false;
  Guard s(StateLock);
  for (auto &m : MatchTable) {
    std::fill(std::begin(m.Counters), std::end(m.Counters), 0);
  }
  return result;
}

uint8_t TApdBaseDispatcher::ReadLineError() {
  // Line errors are taken from the device when asked for, not sampled while
  // the port is idle.
  RefreshLineStatus();
  Guard s(StateLock);
  if (LineErrorBits == LineErrorsDeviceLost) {
    LineErrorBits = 0;
    return leDeviceLost;
  }
  static const struct {
    uint32_t bit;
    uint8_t code;
  } order[] = {{platform::ceRxOver, leRxOverflow},
               {platform::ceOverrun, leOverrun},
               {platform::ceRxParity, leParity},
               {platform::ceFrame, leFraming},
               {platform::ceBreak, leBreak}};
  for (const auto &o : order) {
    if (uint32_t(LineErrorBits) & o.bit) {
      // The break bit stays until TakeLineBreak.
      LineErrorBits &= ~int32_t(LineErrorMask & ~platform::ceBreak);
      return o.code;
    }
  }
  return leNone;
}

bool TApdBaseDispatcher::TakeLineBreak() {
  RefreshLineStatus();
  Guard s(StateLock);
  if (LineErrorBits != LineErrorsDeviceLost && (uint32_t(LineErrorBits) & platform::ceBreak)) {
    LineErrorBits &= ~int32_t(platform::ceBreak);
    return true;
  }
  return false;
}

uint8_t TApdBaseDispatcher::ReadModemStatus() {
  uint32_t platformBits = uint8_t(PlatformModemStatus());
  Guard s(StateLock);
  ModemBits = platformBits | (ModemBits & mdDeltas);
  if (RingSeen) {
    RingSeen = false;
    ModemBits |= mdTrailingRing;
  }
  uint8_t result = uint8_t(ModemBits);
  ModemBits &= mdLevels; // the deltas are reported once
  return result;
}

void TApdBaseDispatcher::SetOptionBits(uint32_t bits) {
  Guard s(StateLock);
  OptionBits |= bits;
}

void TApdBaseDispatcher::ClearOptionBits(uint32_t bits) {
  Guard s(StateLock);
  OptionBits &= ~bits;
}

void TApdBaseDispatcher::RefreshLineStatus() {
  platform::TComStat stat;
  uint32_t errors = ReadDeviceErrors(stat) & LineErrorMask;
  Guard s(StateLock);
  DeviceStatus = stat;
  LineErrorBits |= int32_t(errors);
}

// ------------------------------------------------- moving data into the ring

void TApdBaseDispatcher::MoveDeviceData() {
  Guard r(ReceiveLock);
  if (!ReceiveRing)
    return;
  if (RingFull) {
    static const char full[] = "Dispatch buffer full.";
    RecordLogEvent(dlDispatch, dstStatus, 0, full, sizeof full - 1);
    return;
  }
  uint32_t waiting = DeviceBytesWaiting();
  {
    Guard s(StateLock);
    DeviceStatus.InQue = waiting;
  }
  if (waiting == 0)
    return;
  uint32_t head = RingHead, tail = RingTail;
  uint32_t freeBytes, first;
  if (tail == head) {
    freeBytes = ReceiveRingSize;
    first = ReceiveRingSize - head;
  } else if (tail > head) {
    freeBytes = first = tail - head;
  } else {
    freeBytes = tail + ReceiveRingSize - head;
    first = ReceiveRingSize - head;
  }
  freeBytes = std::min(freeBytes, waiting);
  uint32_t second = first < freeBytes ? freeBytes - first : 0;
  int32_t got = 0;
  if (first > 0) {
    got = ReadDevice(ReceiveRing.get() + head, first);
    if (got < 0) {
      ReportDeviceFailure(-1);
      got = 0;
    }
    RecordLogEvent(dlDispatch, dstReadCom, uint32_t(got), ReceiveRing.get() + head, uint32_t(got));
    head += uint32_t(got);
    ReceivedTotal += uint32_t(got);
    if (uint32_t(got) < first)
      second = 0;
  }
  if (head == ReceiveRingSize)
    head = 0;
  RingHead = head;
  if (got > 0)
    RingFull = RingHead == RingTail;
  if (second > 0) {
    int32_t got2 = ReadDevice(ReceiveRing.get() + RingHead, second);
    if (got2 < 0) {
      ReportDeviceFailure(-1);
      got2 = 0;
    }
    RecordLogEvent(dlDispatch, dstReadCom, uint32_t(got2), ReceiveRing.get() + RingHead, uint32_t(got2));
    RingHead += uint32_t(got2);
    ReceivedTotal += uint32_t(got2);
    if (got2 > 0)
      RingFull = RingHead == RingTail;
  }
}
