#include "dispatcher/AwUser.h"

#include "runtime/SysUtils.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <thread>

using platform::TDeviceControl;
using Guard = std::lock_guard<platform::TCriticalSection>;

std::vector<TApdBaseDispatcher *> DispatcherList;
platform::TCriticalSection DispatcherListLock;
std::function<void(const std::function<void()> &)> TApdBaseDispatcher::RunOnMainThread;

TApdBaseDispatcher *DispatcherFromParam(intptr_t secondParam) {
  size_t index = (uint32_t(secondParam) >> 16) & 0xFFFF;
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
  if (uint8_t boost = h->ThreadBoostLevel.load()) {
    bool boosted = kind == TThreadKind::Write && h->Rs485Active.load();
    platform::SetThreadPriority(threadId_.load(), boost + (boosted ? 4 : 3));
  }
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
      platform::WaitForMessage(2);
  }
  return true;
}

int32_t TApdBaseDispatcher::OpenDispatcher(const std::string &portName, int32_t rate,
                                           uint8_t parity, uint8_t dataBits, uint8_t stopBits,
                                           uint32_t inSize, uint32_t outSize,
                                           uint8_t lineOptions) {
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
    if (h == -8)
      return fail(-8);
    return fail(-int32_t(LastPlatformError.load()));
  }
  if (!SetupDeviceQueues(inSize, outSize))
    return fail(-int32_t(LastPlatformError.load()));

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
  CurrentRate.store(115200);

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
}

void TApdBaseDispatcher::ThreadGone(TApdDispatcherThread *thread, TThreadKind kind) {
  int32_t code = thread->ReturnCode;
  bool checkStatus = false;
  if (code == ecDeviceRead || code == ecDeviceWrite) {
    // The read and the status thread may both notice a hang-up: record it once.
    if (!DeviceLostSeen.exchange(true)) {
      Guard s(StateLock);
      LineErrorBits = -1;
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
    case TThreadKind::Read: ReadThread.store(nullptr); break;
    case TThreadKind::Dispatch: DispThread.store(nullptr); break;
    case TThreadKind::Write: WriteThread.store(nullptr); break;
    case TThreadKind::Status: StatusThread.store(nullptr); break;
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

static uint32_t UnreadLocked(uint32_t head, uint32_t tail, bool full) {
  if (full && head == tail)
    return ReceiveRingSize;
  return (head + ReceiveRingSize - tail) % ReceiveRingSize;
}

int32_t TApdBaseDispatcher::ReceiveByte(uint8_t &c) {
  Guard r(ReceiveLock);
  if (!ReceiveRing)
    return ecBufferIsEmpty;
  uint32_t unread = UnreadLocked(RingHead, RingTail, RingFull);
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
    if (RingSpaceWanted && unread - 1 <= ReceiveRingSize / 2) {
      RingSpaceWanted = false;
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
  if (UnreadLocked(RingHead, RingTail, RingFull) < skip + position)
    return ecBufferIsEmpty;
  c = ReceiveRing[(RingTail + skip + position - 1) % ReceiveRingSize];
  return ecOK;
}

uint32_t TApdBaseDispatcher::ReceivedCount() {
  Guard r(ReceiveLock);
  if (!ReceiveRing)
    return 0;
  uint32_t n = UnreadLocked(RingHead, RingTail, RingFull);
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
      MaxHandlerReadCount = UnreadLocked(RingHead, RingTail, RingFull);
    else {
      RingTail = RingHead;
      HandlerReadCount = 0;
    }
  }
  if (RingFull)
    RingSpaceEvent.Set();
  RingFull = false;
  Guard s(StateLock);
  for (auto &m : MatchTable) {
    std::fill(std::begin(m.Counters), std::end(m.Counters), 0);
  }
  return result;
}

uint8_t TApdBaseDispatcher::ReadLineError() {
  Guard s(StateLock);
  if (LineErrorBits == -1) {
    LineErrorBits = 0;
    return 10;
  }
  static const struct {
    int32_t bit;
    uint8_t code;
  } order[] = {{0x01, 1}, {0x02, 2}, {0x04, 3}, {0x08, 4}, {0x10, 9}};
  for (const auto &o : order) {
    if (LineErrorBits & o.bit) {
      LineErrorBits &= ~0x0F; // the break bit stays until TakeLineBreak
      return o.code;
    }
  }
  return 0;
}

bool TApdBaseDispatcher::TakeLineBreak() {
  Guard s(StateLock);
  if (LineErrorBits != -1 && (LineErrorBits & 0x10)) {
    LineErrorBits &= ~0x10;
    return true;
  }
  return false;
}

uint8_t TApdBaseDispatcher::ReadModemStatus() {
  uint32_t platformBits = PlatformModemStatus() & 0xFF;
  Guard s(StateLock);
  ModemBits = platformBits | (ModemBits & 0x0F);
  if (RingSeen) {
    RingSeen = false;
    ModemBits |= 0x04;
  }
  uint8_t result = uint8_t(ModemBits & 0xFF);
  ModemBits &= 0xF0;
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
  uint32_t errors = ReadDeviceErrors(stat) & 0x1F;
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
    RecordLogEvent(dlDispatch, dstStatus, 0, full, 21);
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
    RecordLogEvent(dlDispatch, dstReadCom, uint32_t(got2), ReceiveRing.get() + RingHead,
                   uint32_t(got2));
    RingHead += uint32_t(got2);
    ReceivedTotal += uint32_t(got2);
    if (got2 > 0)
      RingFull = RingHead == RingTail;
  }
}

// ------------------------------------------------- line settings and flow

uint32_t TApdBaseDispatcher::TranslateRate(uint32_t rate) {
  switch (rate) {
  case 0xFEFF: return 115200;
  case 0xFF10: return 110;
  case 0xFF11: return 300;
  case 0xFF12: return 600;
  case 0xFF13: return 1200;
  case 0xFF14: return 2400;
  case 0xFF15: return 4800;
  case 0xFF16: return 9600;
  case 0xFF17: return 14400;
  case 0xFF18: return 19200;
  case 0xFF1B: return 38400;
  case 0xFF1F: return 56000;
  case 0xFF23: return 128000;
  case 0xFF27: return 256000;
  default: return rate;
  }
}

uint32_t TApdBaseDispatcher::FormatChangePauseMs(const TDeviceControl &dcb) {
  uint32_t rate = TranslateRate(dcb.BaudRate);
  if (rate == 0)
    return 0;
  uint64_t bits = uint64_t(dcb.ByteSize) + 2 + (dcb.Parity != 0 ? 1 : 0) + (dcb.StopBits != 0 ? 1 : 0);
  // 18 character times in units of 0.1 us.
  uint64_t t = uint64_t(10000000u / rate) * bits * 18;
  if (t < 10000)
    t *= 2;
  return uint32_t((t + 9999) / 10000);
}

void TApdBaseDispatcher::WaitForLineDrain() {
  for (int i = 0; i < 5000 && TransmitUsed() > 0; ++i)
    platform::SleepMs(2);
  TDeviceControl dcb;
  {
    Guard s(StateLock);
    ReadDeviceState(DeviceControl);
    dcb = DeviceControl;
  }
  platform::SleepMs(FormatChangePauseMs(dcb));
}

int32_t TApdBaseDispatcher::WriteStateWithLines(TDeviceControl &dcb) {
  using namespace platform;
  if (!DtrByFlow)
    dcb.Flags = (dcb.Flags & ~dcbDtrControlMask) | (DtrOn ? dcbDtrControlEnable : 0);
  if (!RtsByFlow)
    dcb.Flags = (dcb.Flags & ~dcbRtsControlMask) | (RtsOn ? dcbRtsControlEnable : 0);
  int32_t r = WriteDeviceState(dcb);
  CurrentRate.store(dcb.BaudRate);
  DriveDtr(DtrOn ? 1 : 0);
  if (!Rs485Active.load())
    DriveRts(RtsOn ? 1 : 0);
  return r;
}

int32_t TApdBaseDispatcher::ApplyLineFormat(int32_t rate, uint8_t parity, uint8_t dataBits,
                                            uint8_t stopBits) {
  using namespace platform;
  TDeviceControl wanted;
  {
    Guard s(StateLock);
    ReadDeviceState(DeviceControl);
    wanted = DeviceControl;
  }
  wanted.Flags |= dcbBinary | dcbTxContinueOnXoff;
  wanted.Flags &= ~(dcbParityCheck | dcbDsrSensitivity | dcbNull);
  if (stopBits == 0)
    stopBits = 1;
  else if (stopBits >= 4)
    stopBits = 2;
  if (rate != 0)
    wanted.BaudRate = uint32_t(rate);
  if (parity != 5)
    wanted.Parity = parity;
  if (dataBits != 9)
    wanted.ByteSize = dataBits;
  if (dataBits == 5)
    wanted.StopBits = 1;
  else if (stopBits != 3) {
    wanted.StopBits = stopBits == 1 ? 0 : 2;
    if (wanted.ByteSize == 5)
      wanted.StopBits = 1;
  }
  {
    Guard s(StateLock);
    const TDeviceControl &cur = DeviceControl;
    if (cur.BaudRate == wanted.BaudRate && cur.Parity == wanted.Parity &&
        cur.ByteSize == wanted.ByteSize && cur.StopBits == wanted.StopBits &&
        cur.Flags == wanted.Flags)
      return ecOK;
  }
  WaitForLineDrain();
  Guard s(StateLock);
  ReadDeviceState(DeviceControl);
  DeviceControl.BaudRate = wanted.BaudRate;
  DeviceControl.Parity = wanted.Parity;
  DeviceControl.ByteSize = wanted.ByteSize;
  DeviceControl.StopBits = wanted.StopBits;
  DeviceControl.Flags = wanted.Flags;
  return WriteStateWithLines(DeviceControl);
}

void TApdBaseDispatcher::ReadLineFormat(int32_t &rate, uint8_t &parity, uint8_t &dataBits,
                                        uint8_t &stopBits) {
  Guard s(StateLock);
  ReadDeviceState(DeviceControl);
  rate = int32_t(TranslateRate(DeviceControl.BaudRate));
  parity = DeviceControl.Parity;
  dataBits = DeviceControl.ByteSize;
  stopBits = DeviceControl.StopBits == 2 ? 2 : 1;
}

int32_t TApdBaseDispatcher::DriveDtr(uint8_t level) {
  if (DtrByFlow)
    return 1;
  int32_t r = EscapeDevice(level == 1 ? platform::escSetDtr : platform::escClrDtr);
  DtrOn = level == 1;
  return r < 0 ? ecBadArgument : r;
}

int32_t TApdBaseDispatcher::DriveRts(uint8_t level) {
  if (RtsByFlow)
    return 1;
  int32_t r = EscapeDevice(level == 1 ? platform::escSetRts : platform::escClrRts);
  RtsOn = level == 1;
  return r < 0 ? ecBadArgument : r;
}

int32_t TApdBaseDispatcher::SetHardwareFlow(uint32_t bufferFull, uint32_t bufferResume,
                                            uint32_t options) {
  using namespace platform;
  if (bufferFull < bufferResume || bufferFull > DeviceInSize)
    return ecBadArgument;
  Guard s(StateLock);
  ReadDeviceState(DeviceControl);
  uint32_t f = DeviceControl.Flags;
  f &= ~(dcbOutxCtsFlow | dcbOutxDsrFlow | dcbDtrControlMask | dcbRtsControlMask);
  DtrByFlow = RtsByFlow = false;
  if (options & 1) {
    f |= dcbDtrControlHandshake;
    DtrByFlow = true;
  } else if (DtrOn) {
    f |= dcbDtrControlEnable;
  }
  if (options & 2) {
    f |= dcbRtsControlHandshake;
    RtsByFlow = true;
  } else if (RtsOn) {
    f |= dcbRtsControlEnable;
  }
  if (Rs485Active.load()) {
    f = (f & ~dcbRtsControlMask) | dcbRtsControlToggle;
    RtsByFlow = true;
  }
  DeviceControl.XoffLim = uint16_t(uint16_t(DeviceInSize) - bufferFull);
  DeviceControl.XonLim = uint16_t(bufferResume);
  if (options & 4)
    f |= dcbOutxDsrFlow;
  if (options & 8)
    f |= dcbOutxCtsFlow;
  DeviceControl.Flags = f;
  return WriteStateWithLines(DeviceControl);
}

int32_t TApdBaseDispatcher::EnableSoftwareFlow(uint32_t bufferFull, uint32_t bufferResume,
                                               uint32_t options) {
  using namespace platform;
  if (bufferFull < bufferResume || bufferFull > DeviceInSize)
    return ecBadArgument;
  Guard s(StateLock);
  ReadDeviceState(DeviceControl);
  if (options & 2) {
    DeviceControl.Flags |= dcbInX;
    DeviceControl.XoffLim = uint16_t(uint16_t(DeviceInSize) - bufferFull);
    DeviceControl.XonLim = uint16_t(bufferResume);
    DeviceControl.XonChar = 0x11;
    DeviceControl.XoffChar = 0x13;
  }
  if (options & 1) {
    DeviceControl.Flags |= dcbOutX;
    DeviceControl.XonChar = 0x11;
    DeviceControl.XoffChar = 0x13;
  }
  return WriteStateWithLines(DeviceControl);
}

int32_t TApdBaseDispatcher::DisableSoftwareFlow() {
  Guard s(StateLock);
  ReadDeviceState(DeviceControl);
  DeviceControl.Flags &= ~(platform::dcbInX | platform::dcbOutX);
  return WriteStateWithLines(DeviceControl);
}

int32_t TApdBaseDispatcher::SetFlowCharacters(uint8_t xonChar, uint8_t xoffChar) {
  Guard s(StateLock);
  ReadDeviceState(DeviceControl);
  DeviceControl.XonChar = xonChar;
  DeviceControl.XoffChar = xoffChar;
  return WriteStateWithLines(DeviceControl);
}

int32_t TApdBaseDispatcher::ReadFlowOptions(uint32_t &hwOptions, uint32_t &swOptions,
                                            uint8_t &xonChar, uint8_t &xoffChar) {
  using namespace platform;
  Guard s(StateLock);
  int32_t r = ReadDeviceState(DeviceControl);
  uint32_t f = DeviceControl.Flags;
  hwOptions = 0;
  if ((f & dcbDtrControlMask) == dcbDtrControlHandshake)
    hwOptions |= 1;
  if ((f & dcbRtsControlMask) == dcbRtsControlHandshake)
    hwOptions |= 2;
  if (f & dcbOutxDsrFlow)
    hwOptions |= 4;
  if (f & dcbOutxCtsFlow)
    hwOptions |= 8;
  swOptions = 0;
  if (f & dcbInX)
    swOptions |= 2;
  if (f & dcbOutX)
    swOptions |= 1;
  xonChar = DeviceControl.XonChar;
  xoffChar = DeviceControl.XoffChar;
  return r;
}

void TApdBaseDispatcher::SetRs485(bool on) {
  Guard s(StateLock);
  Rs485Active.store(on);
  // Where the driver toggles RTS itself nothing else is needed; otherwise
  // RTS is raised before each block and dropped once it has left.
  Rs485Hardware.store(PlatformRs485(on) && on);
  int64_t writer = ThreadIds[int(TThreadKind::Write)].load();
  if (writer)
    platform::SetThreadPriority(writer, ThreadBoostLevel + (on ? 4 : 3));
}

void TApdBaseDispatcher::ApplyThreadBoost(uint8_t boost) {
  Guard s(StateLock);
  if (boost == ThreadBoostLevel)
    return;
  ThreadBoostLevel = boost;
  for (int k = 0; k < 4; ++k) {
    int64_t id = ThreadIds[k].load();
    if (!id)
      continue;
    bool writerBoost = k == int(TThreadKind::Write) && Rs485Active.load();
    platform::SetThreadPriority(id, boost + (writerBoost ? 4 : 3));
  }
}

// ------------------------------------------------ triggers and notification

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
  RecordLogEvent(dlTriggerHandlerAlloc, dstWindow, uint32_t(reinterpret_cast<uintptr_t>(window)),
                 nullptr, 0);
}

void TApdBaseDispatcher::RemoveWindowHandler(platform::HWND window) {
  Guard s(StateLock);
  auto it = std::find_if(WindowHandlers.begin(), WindowHandlers.end(),
                         [window](const TWindowHandlerEntry &e) { return e.Window == window; });
  if (it == WindowHandlers.end()) {
    RecomputeNotifyWantedLocked(0);
    return;
  }
  RecordLogEvent(dlTriggerHandlerDispose, dstWindow,
                 uint32_t(reinterpret_cast<uintptr_t>(window)), nullptr, 0);
  if (Notifying.load()) {
    it->Removed = true; // the delivery in progress still walks the list
    HandlersRemoved = true;
  } else {
    WindowHandlers.erase(it);
    RecomputeNotifyWantedLocked(0);
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
  case 0: NotifyWanted.store(others || PortWindowWanted); break;
  case 1:
    PortWindowWanted = true;
    NotifyWanted.store(true);
    break;
  case 2:
    PortWindowWanted = false;
    NotifyWanted.store(others);
    break;
  default: break;
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
  if (EventWord & 0x2100) {
    Guard s(StateLock);
    RingSeen = true;
  }
  bool seenHit;
  if (EventWord & 0x2138) {
    uint32_t fresh = PlatformModemStatus() & 0xF0;
    {
      Guard s(StateLock);
      uint32_t old = ModemBits & 0xFF;
      ModemBits = fresh | (ModemBits & 0x0F);
      ModemBits |= ((old ^ ModemBits) & 0xF0) >> 4;
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
  if (EventWord & 0xC0) {
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
    uint8_t ms = ReadModemStatus();
    {
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
  uint32_t len = std::min<uint32_t>(m.Length, 22);
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
          std::fill(c, c + 22, 0);
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
    anyMatch = std::any_of(MatchTable.begin(), MatchTable.end(),
                           [](const TMatchTrigger &m) { return m.Length != 0; });
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
    needTx = std::any_of(StatusTable.begin(), StatusTable.end(), [](const TStatusTrigger &t) {
      return t.Kind == stOutBuffFree || t.Kind == stOutBuffUsed;
    });
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
      case stModem:
        fires = (((t.Value & 0xFF) ^ (ModemBits & 0xFF)) & (t.Value >> 8)) != 0;
        break;
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
      case stOutSent: fires = SentSinceCheck.exchange(false); break;
      default: break;
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
    list.erase(std::remove_if(list.begin(), list.end(), [](const auto &e) { return e.Removed; }),
               list.end());
  };
  drop(WindowHandlers);
  drop(ProcedureHandlers);
  drop(MethodHandlers);
  HandlersRemoved = false;
  RecomputeNotifyWantedLocked(0);
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
  int32_t param = int32_t(uint32_t(DispatcherIndex) * 65536u + data);
  switch (msg) {
  case NotifyAvail: RecordLogEvent(dlTrigger, dstAvailTrigger, trigger, nullptr, 0); break;
  case NotifyData: RecordLogEvent(dlTrigger, dstDataTrigger, trigger, nullptr, 0); break;
  case NotifyTimer: RecordLogEvent(dlTrigger, dstTimerTrigger, trigger, nullptr, 0); break;
  case NotifyStatus: RecordLogEvent(dlTrigger, dstStatusTrigger, trigger, nullptr, 0); break;
  default: break;
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
      if (!e.Removed && e.Method) {
        if (e.Synchronised && RunOnMainThread)
          RunOnMainThread([&] { e.Method(msg, trigger, param); });
        else
          e.Method(msg, trigger, param);
      }
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
