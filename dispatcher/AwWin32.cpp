#include "dispatcher/AwWin32.h"

#include "platform/PlatformErrors.h"
#include "runtime/SysUtils.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <thread>

using Guard = std::lock_guard<platform::TCriticalSection>;
using platform::IoStatus;
using platform::WaitStatus;

namespace {
// A close waits this many ticks (about 2 s), twice, for the dispatch thread
// while pumping, before it waits without limit.
constexpr uint32_t kDispatchEndTicks = 36;
} // namespace

TApdWin32Dispatcher::TApdWin32Dispatcher(TApdDispatcherOwner *owner) : TApdBaseDispatcher(owner) {}

TApdWin32Dispatcher::~TApdWin32Dispatcher() { Shutdown(); }

void TApdWin32Dispatcher::RequestStop() {
  TApdBaseDispatcher::RequestStop();
  StopEvent.Set();
}

void TApdWin32Dispatcher::WatchLineEvents(bool on) { Device.WatchLines(on); }

// ------------------------------------------------------ device operations

int32_t TApdWin32Dispatcher::EscapeDevice(uint32_t function) {
  uint32_t e = Device.Escape(function);
  if (e) {
    LastPlatformError.store(e);
    return ResultForPlatformError(e);
  }
  return 0;
}

int32_t TApdWin32Dispatcher::PurgeDevice(uint32_t which) {
  using namespace platform;
  uint32_t e = 0;
  if (which == 0) {
    if (!WriteThread.load())
      return 0;
    {
      Guard t(TransmitLock);
      TransmitHead = TransmitTail = 0;
      TransmitFull = false;
    }
    e = Device.Purge(purgeTxAbort | purgeTxClear);
    ThreadReadyEvent->Reset();
    TransmitFlushEvent->Set();
    ThreadReadyEvent->Wait(FlushTimeoutMs); // the write thread drops its block and answers
  } else {
    e = Device.Purge(purgeRxAbort | purgeRxClear);
    {
      std::lock_guard<std::mutex> flush(RxFlushLock);
      ++RxFlushGeneration;
      InputQueue.ClearIdle();
    }
    // A read thread held back by the queue's bound waits for the queue to
    // drain, and nobody reads an empty queue: let it read again, or the port
    // hears nothing more until it is closed.
    if (ReaderThrottled.exchange(false))
      RxWakeEvent.Set();
  }
  return e ? ResultForPlatformError(e) : ecOK;
}

uint32_t TApdWin32Dispatcher::ReadDeviceErrors(platform::TComStat &status) {
  // Called on the window's thread with every poll: the queue sizes come from
  // our own buffers, as the read and write threads keep the device's empty,
  // so no call here can wait on a driver.
  uint32_t errors = 0;
  if (Device.ClearErrors(errors, nullptr) != 0)
    errors = 0;
  status.Flags = 0;
  status.InQue = uint32_t(InputQueue.BytesQueued());
  status.OutQue = TransmitBufferUsed();
  return errors;
}

int32_t TApdWin32Dispatcher::ReportDeviceFailure(int32_t) { return 0; }

int32_t TApdWin32Dispatcher::ReadDeviceState(platform::TDeviceControl &dcb) {
  return Device.GetState(dcb) == 0 ? 0 : -1;
}

int32_t TApdWin32Dispatcher::WriteDeviceState(const platform::TDeviceControl &dcb) {
  // The device takes bits per second, not the legacy rate codes.
  platform::TDeviceControl out = dcb;
  out.BaudRate = TranslateRate(dcb.BaudRate);
  uint32_t e = Device.SetState(out);
  if (e) {
    LastPlatformError.store(e);
    return ResultForPlatformError(e);
  }
  return 0;
}

int32_t TApdWin32Dispatcher::ReadDevice(uint8_t *buffer, uint32_t size) {
  int64_t remaining = size;
  uint32_t copied = 0;
  while (remaining > 0) {
    TIOBuffer *b = InputQueue.PeekBuffer();
    if (!b)
      break;
    auto *data = dynamic_cast<TDataBuffer *>(b);
    if (!data) {
      InputQueue.ReleaseBuffer(b); // an event word waits for its own cycle
      break;
    }
    uint32_t n = std::min<uint32_t>(uint32_t(remaining), data->Used - data->ReadPos);
    std::memcpy(buffer + copied, data->Data.get() + data->ReadPos, n);
    data->ReadPos += n;
    copied += n;
    remaining -= n;
    if (data->ReadPos < data->Used)
      InputQueue.ReleaseBuffer(b);
    else
      InputQueue.PopBuffer();
  }
  if (ReaderThrottled.load() && InputQueue.BytesQueued() <= InputQueueLimit / 2) {
    ReaderThrottled.store(false);
    RxWakeEvent.Set();
  }
  return int32_t(copied);
}

int32_t TApdWin32Dispatcher::WriteDevice(const uint8_t *buffer, uint32_t size) {
  {
    Guard t(TransmitLock);
    uint32_t room = TransmitSize - TransmitHead;
    if (room < size) {
      std::memcpy(TransmitRing.get() + TransmitHead, buffer, room);
      std::memcpy(TransmitRing.get(), buffer + room, size - room);
      TransmitHead = size - room;
    } else {
      std::memcpy(TransmitRing.get() + TransmitHead, buffer, size);
      TransmitHead = room == size ? 0 : TransmitHead + size;
    }
  }
  TransmitEvent->Set();
  return int32_t(size);
}

bool TApdWin32Dispatcher::WaitDeviceEvent(uint32_t &mask) {
  mask = 0;
  return true;
}

bool TApdWin32Dispatcher::SetupDeviceQueues(uint32_t inSize, uint32_t outSize) {
  uint32_t e = Device.SetupQueues(inSize, outSize);
  if (e)
    LastPlatformError.store(e);
  return e == 0;
}

uint32_t TApdWin32Dispatcher::TransmitBufferUsed() {
  Guard t(TransmitLock);
  if (TransmitFull)
    return TransmitSize;
  if (TransmitSize == 0)
    return 0;
  return (TransmitHead + TransmitSize - TransmitTail) % TransmitSize;
}

uint32_t TApdWin32Dispatcher::DeviceBytesWaiting() {
  TIOBuffer *b = InputQueue.PeekBuffer();
  if (!b)
    return 0;
  uint32_t n = 0;
  if (auto *data = dynamic_cast<TDataBuffer *>(b))
    n = data->Used - data->ReadPos;
  InputQueue.ReleaseBuffer(b);
  return n;
}

int32_t TApdWin32Dispatcher::OpenDevice(const std::string &name, uint32_t, uint32_t) {
  DeviceName = name;
  uint32_t e = Device.Open(name);
  if (e) {
    LastPlatformError.store(e);
    DeviceHandle.store(-1);
    return -1;
  }
  DeviceHandle.store(Device.Descriptor());
  return DeviceHandle.load();
}

int32_t TApdWin32Dispatcher::YieldToDevice() {
  std::this_thread::yield();
  return 0;
}

uint32_t TApdWin32Dispatcher::PlatformModemStatus() {
  uint32_t bits = 0;
  Device.GetModemStatus(bits);
  return bits;
}

bool TApdWin32Dispatcher::PlatformRs485(bool on) { return Device.SetRs485(on); }

// ------------------------------------------------------ starting, stopping

void TApdWin32Dispatcher::StartThreads() {
  Guard s(StateLock);
  if (ThreadsStarted.load())
    throw Exception("Dispatcher already started.");
  ThreadsStarted.store(true);
  StopRequested.store(false);
  StopEvent.Reset();
  RxWakeEvent.Reset();
  RxDrainedEvent.Reset();
  // Left over from an earlier open: each would cost one idle turn.
  InputQueue.WakeEvent().Reset();
  RingSpaceEvent.Reset();
  DispatchWakeEvent.Reset();
  ringWasFull_ = false;
  auto start = [this](TApdDispatcherThread *t, std::atomic<TApdDispatcherThread *> &ref) {
    ref.store(t);
    if (!t->Start()) {
      // Without all four threads the port cannot work: stop the others.
      ref.store(nullptr);
      delete t;
      LastPlatformError.store(platform::kErrNotEnoughMemory);
      RequestStop();
      return;
    }
    ThreadReadyEvent->Wait(ThreadStartTimeoutMs); // a late thread does not hold up the next
  };
  start(new TReadThread(this), ReadThread);
  start(new TDispThread(this), DispThread);
  start(new TWriteThread(this), WriteThread);
  start(new TStatusThread(this), StatusThread);
  if (ActiveThreads.load() == 0)
    ThreadsStarted.store(false); // none could be created (or all ended already)
}

void TApdWin32Dispatcher::StopThreads() {
  if (ThreadsStarted.load())
    CloseDevice();
  // The events stay with the dispatcher until it is destroyed: a thread that
  // is just ending may still set one.
}

int32_t TApdWin32Dispatcher::CloseDevice() {
  {
    Guard s(StateLock);
    if (StopInProgress.load())
      return 0;
    StopInProgress.store(true);
  }
  if (ThreadsStarted.load()) {
    RequestStop();
    if (StatusThread.load()) {
      Device.SetCommMask(0);
      PumpUntil([this] { return StatusThread.load() == nullptr; }, platform::kInfinite);
    }
    if (WriteThread.load()) {
      TransmitFlushEvent->Set();
      PumpUntil([this] { return WriteThread.load() == nullptr; }, platform::kInfinite);
    }
    if (ReadThread.load()) {
      RxWakeEvent.Set();
      ThreadReadyEvent->Reset();
      PumpUntil([this] { return ReadThread.load() == nullptr; }, platform::kInfinite);
    }
    int64_t self = platform::CurrentThreadId();
    bool isDispatchThread = ThreadIds[int(TThreadKind::Dispatch)].load() == self;
    // During a notification the dispatch thread may be waiting for a handler
    // that is this very call's caller: waiting for it would only end when the
    // send times out. It ends by itself after the notification and releases
    // the buffers then (the close is completed as a pending close).
    if (!isDispatchThread && !Notifying.load()) {
      auto dispGone = [this] { return DispThread.load() == nullptr; };
      const uint32_t twoSeconds = kDispatchEndTicks * platform::kTickMs;
      if (!PumpUntil(dispGone, twoSeconds) && !PumpUntil(dispGone, twoSeconds))
        PumpUntil(dispGone, platform::kInfinite);
    }
  }
  int32_t result = 0;
  if (DeviceHandle.load() >= 0) {
    if (Device.Close())
      DeviceHandle.store(-1);
    else
      result = -1;
  }
  StopInProgress.store(false);
  return result;
}

// ------------------------------------------------------------- the threads

int32_t TReadThread::ReadInto(TDataBuffer &buffer) {
  platform::IoResult r = D->Device.Read(buffer.Data.get(), uint32_t(buffer.Size));
  switch (r.Status) {
  case IoStatus::Ok:
    return int32_t(r.Count);
  case IoStatus::WouldBlock:
    return 0;
  case IoStatus::Closed:
    D->LastPlatformError.store(platform::kErrInvalidHandle);
    return -1;
  case IoStatus::Lost:
    return ecDeviceRead;
  case IoStatus::Failed:
    D->LastPlatformError.store(r.Error);
    return ecDeviceRead;
  }
  return ecDeviceRead;
}

static std::unique_ptr<TDataBuffer> NewBlock(uint32_t size) {
  try {
    return std::make_unique<TDataBuffer>(size);
  } catch (const std::exception &) {
    return nullptr;
  }
}

bool TReadThread::QueueOverLimit() {
  // Marked before the look: a dispatch thread that drains the queue
  // meanwhile sees the mark and wakes us.
  D->ReaderThrottled.store(true);
  if (D->InputQueue.BytesQueued() > TApdWin32Dispatcher::InputQueueLimit)
    return true;
  D->ReaderThrottled.store(false);
  return false;
}

uint64_t TReadThread::FlushGeneration() {
  std::lock_guard<std::mutex> flush(D->RxFlushLock);
  return D->RxFlushGeneration;
}

void TReadThread::Execute() {
  D->ThreadReadyEvent->Set();
  std::unique_ptr<TDataBuffer> buffer;
  while (!Stopping()) {
    // Woken by the status thread for each arrival, by the dispatch thread
    // once a full queue has drained, and by a stop.
    int w = platform::WaitForEvents({&D->RxWakeEvent, &D->StopEvent}, platform::kInfinite);
    D->CountWake(TThreadKind::Read);
    if (w == platform::kWaitFailed) {
      D->LastPlatformError.store(platform::TranslateErrno(errno));
      ReturnCode = ecDeviceRead;
      D->RequestStop();
      continue;
    }
    if (Stopping())
      break;
    // While the dispatch thread is this far behind, the bytes wait in the device.
    if (QueueOverLimit())
      continue;
    if (!buffer && !(buffer = NewBlock(TApdWin32Dispatcher::ReadBlockSize))) {
      ReturnCode = ecTapiNoMem;
      D->RequestStop();
      continue;
    }
    uint64_t generation = FlushGeneration();
    int32_t n = ReadInto(*buffer);
    while (n > 0) {
      buffer->Used = uint32_t(n);
      {
        // Read before a flush that has happened since: stale, dropped.
        std::lock_guard<std::mutex> flush(D->RxFlushLock);
        if (D->RxFlushGeneration == generation)
          D->InputQueue.PushBuffer(std::move(buffer));
        generation = D->RxFlushGeneration;
      }
      if (!(buffer = NewBlock(TApdWin32Dispatcher::ReadBlockSize))) {
        ReturnCode = ecTapiNoMem;
        D->RequestStop();
        break;
      }
      if (QueueOverLimit())
        break;
      n = ReadInto(*buffer);
    }
    if (n == 0)
      D->RxDrainedEvent.Set();
    if (n < 0) {
      if (D->LastPlatformError.load() != platform::kErrInvalidHandle || n != -1)
        ReturnCode = ecDeviceRead;
      D->RequestStop();
    }
  }
}

void TStatusThread::Execute() {
  using namespace platform;
  D->ThreadReadyEvent->Set();
  D->Device.SetCommMask(evRxChar | evCts | evDsr | evRlsd | evBreak | evErr | evRing);
  while (!Stopping()) {
    uint32_t events = 0;
    // No limit: the device, a stop, the reader's rearm or a change of the
    // line watch ends the wait (the device bounds it while it samples lines).
    WaitOutcome o = D->Device.WaitCommEvent(events, &D->StopEvent, &D->RxDrainedEvent, kInfinite);
    D->CountWake(TThreadKind::Status);
    if (o.Status == WaitStatus::Event || o.Status == WaitStatus::TimedOut)
      continue;
    if (o.Status == WaitStatus::Lost) {
      ReturnCode = ecDeviceRead;
      D->RequestStop();
      continue;
    }
    if (o.Status == WaitStatus::Failed) {
      if (o.Error != kErrInvalidHandle) {
        D->LastPlatformError.store(o.Error);
        ReturnCode = ecDeviceRead;
      }
      D->RequestStop();
      continue;
    }
    if (events & evRxChar)
      D->RxWakeEvent.Set();
    if (events & evStatusWord) {
      std::unique_ptr<TStatusBuffer> sb(new (std::nothrow) TStatusBuffer(events));
      if (!sb) {
        ReturnCode = ecTapiNoMem;
        D->RequestStop();
        continue;
      }
      D->InputQueue.PushBuffer(std::move(sb));
    }
  }
}

int32_t TWriteThread::WritePending() {
  using namespace platform;
  for (;;) {
    std::unique_ptr<uint8_t[]> block;
    uint32_t length = 0;
    {
      Guard t(D->TransmitLock);
      if (!D->TransmitRing || (!D->TransmitFull && D->TransmitHead == D->TransmitTail))
        return 0;
      uint32_t size = D->TransmitSize;
      length = D->TransmitFull ? size : (D->TransmitHead + size - D->TransmitTail) % size;
      block.reset(new uint8_t[length]);
      if (D->TransmitTail < D->TransmitHead) {
        std::memcpy(block.get(), D->TransmitRing.get() + D->TransmitTail, length);
      } else {
        uint32_t firstPart = size - D->TransmitTail;
        std::memcpy(block.get(), D->TransmitRing.get() + D->TransmitTail, firstPart);
        std::memcpy(block.get() + firstPart, D->TransmitRing.get(), D->TransmitHead);
      }
      D->TransmitHead = D->TransmitTail = 0;
      D->TransmitFull = false;
    }
    uint32_t done = 0;
    while (done < length) {
      IoResult r = D->Device.Write(block.get() + done, length - done);
      if (r.Status == IoStatus::Ok) {
        done += uint32_t(r.Count);
        continue;
      }
      if (r.Status == IoStatus::Closed) {
        D->LastPlatformError.store(kErrInvalidHandle);
        return -1;
      }
      if (r.Status == IoStatus::Lost)
        return ecDeviceWrite;
      if (r.Status == IoStatus::Failed) {
        D->LastPlatformError.store(r.Error);
        return ecDeviceWrite;
      }
      // Held by flow control or a full device queue: wait for room or a flush.
      for (;;) {
        WaitOutcome o = D->Device.WaitWritable({D->TransmitFlushEvent.get(), &D->StopEvent}, kInfinite);
        D->CountWake(TThreadKind::Write);
        if (o.Status == WaitStatus::Ready)
          break;
        if (o.Status == WaitStatus::Event && o.EventIndex == 0) {
          D->ThreadReadyEvent->Set(); // the rest of the block is dropped
          return 0;
        }
        if (o.Status == WaitStatus::Event)
          return 0; // a stop: another thread reports whatever caused it
        if (o.Status == WaitStatus::Lost)
          return ecDeviceWrite;
        if (o.Status == WaitStatus::Failed) {
          D->LastPlatformError.store(o.Error);
          return ecDeviceWrite;
        }
        if (Stopping())
          return 0;
      }
    }
    if (D->Rs485Active.load() && !D->Rs485Hardware) {
      // Drop RTS once the last bit has left; bounded by the block's time on the line.
      uint32_t rate = TApdBaseDispatcher::TranslateRate(D->CurrentRate);
      uint32_t limit = 100 + (rate ? uint32_t(uint64_t(length) * 12000 / rate) : 0);
      uint32_t start = MillisecondClock();
      while (!D->Device.TransmitterEmpty() && MillisecondClock() - start < limit && !Stopping())
        SleepMs(1);
      D->EscapeDevice(escClrRts);
    }
  }
}

void TWriteThread::Execute() {
  D->ThreadReadyEvent->Set();
  while (!Terminated()) {
    if (D->StopRequested.load())
      break;
    int w = platform::WaitForEvents({D->TransmitEvent.get(), D->TransmitFlushEvent.get(), &D->StopEvent},
                                    platform::kInfinite);
    D->CountWake(TThreadKind::Write);
    if (w == 0) {
      if (D->StopRequested.load())
        continue;
      int32_t r = WritePending();
      if (r != 0) {
        if (r != -1)
          ReturnCode = ecDeviceWrite;
        D->RequestStop();
      }
    } else if (w == 1) {
      D->ThreadReadyEvent->Set(); // acknowledges a flush
    } else if (w == platform::kWaitFailed) {
      ReturnCode = ecDeviceWrite;
      D->RequestStop();
    }
  }
}

void TApdWin32Dispatcher::WaitForDispatchWork() {
  using platform::WaitForEvents;
  bool full;
  {
    Guard r(ReceiveLock);
    full = RingFull;
    RingSpaceWanted = full ? rsAnyRoom : rsNone;
  }
  const uint32_t timeout = DispatchWaitMs();
  // The turn on which the ring filled up goes round once more, so the full
  // ring is recorded even when nothing else arrives.
  const bool justFilled = full && !ringWasFull_;
  ringWasFull_ = full;
  if (justFilled)
    return;
  if (!full) {
    // Something queued is taken at once; otherwise sleep until the read or
    // the status thread queues something.
    if (InputQueue.Count() == 0) {
      WaitForEvents({&InputQueue.WakeEvent(), &DispatchWakeEvent, &StopEvent}, timeout);
      CountWake(TThreadKind::Dispatch);
    }
    return;
  }
  // A full ring cannot take the queued bytes: sleep until a read makes room.
  // What is queued meanwhile still wakes us, for a cycle that records the
  // full ring and takes an event word at the head of the queue.
  int w = WaitForEvents({&RingSpaceEvent, &InputQueue.WakeEvent(), &DispatchWakeEvent, &StopEvent}, timeout);
  CountWake(TThreadKind::Dispatch);
  if (w != 0)
    return;
  // The room came from a read outside a notification: let the reader take
  // up to half the ring, for one slice at most, before refilling.
  bool halfWanted;
  {
    Guard r(ReceiveLock);
    halfWanted = !RingFull && UnreadBytesLocked() > ReceiveRingSize / 2;
    RingSpaceWanted = halfWanted ? rsHalfEmpty : rsNone;
  }
  if (halfWanted) {
    WaitForEvents({&RingSpaceEvent, &DispatchWakeEvent, &StopEvent}, std::min(timeout, RingRefillSliceMs));
    CountWake(TThreadKind::Dispatch);
    Guard r(ReceiveLock);
    RingSpaceWanted = rsNone;
  }
}

void TDispThread::Execute() {
  TApdWin32Dispatcher *d = D;
  d->ThreadReadyEvent->Set();
  for (;;) {
    d->WaitForDispatchWork();
    if (d->StopRequested.load())
      break;
    d->ReceiveCycle();
    d->TimerPass();
    if (d->StopRequested.load() || d->ClosePending.load())
      break;
  }
  d->ThreadReadyEvent->Set();
}
