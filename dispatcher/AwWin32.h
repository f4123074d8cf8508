#pragma once
// The platform dispatcher: a serial device and the four threads that move
// bytes between it and the dispatcher's rings. Every thread sleeps until
// something concerns it (the device, a queued write, a stop, a due timer
// trigger), so an open port that hears nothing costs nothing.
#include "dispatcher/AwUser.h"

#include <mutex>

class TApdWin32Dispatcher : public TApdBaseDispatcher {
public:
  explicit TApdWin32Dispatcher(TApdDispatcherOwner *owner);
  ~TApdWin32Dispatcher() override;

  int32_t EscapeDevice(uint32_t function) override;
  int32_t PurgeDevice(uint32_t which) override;
  uint32_t ReadDeviceErrors(platform::TComStat &status) override;
  int32_t ReportDeviceFailure(int32_t code) override;
  int32_t ReadDeviceState(platform::TDeviceControl &dcb) override;
  int32_t ReadDevice(uint8_t *buffer, uint32_t size) override;
  int32_t WriteDeviceState(const platform::TDeviceControl &dcb) override;
  int32_t WriteDevice(const uint8_t *buffer, uint32_t size) override;
  bool WaitDeviceEvent(uint32_t &mask) override;
  bool SetupDeviceQueues(uint32_t inSize, uint32_t outSize) override;
  void StartThreads() override;
  void StopThreads() override;
  uint32_t TransmitBufferUsed() override;
  uint32_t DeviceBytesWaiting() override;
  int32_t OpenDevice(const std::string &name, uint32_t inSize, uint32_t outSize) override;
  int32_t CloseDevice() override;
  int32_t YieldToDevice() override;
  void RequestStop() override;
  uint32_t PlatformModemStatus() override;
  bool PlatformRs485(bool on) override;

  // The read thread leaves bytes in the device while InputQueue holds more
  // than this, so an application that does not read cannot grow memory.
  static constexpr uint32_t InputQueueLimit = 64 * 1024;
  static constexpr uint32_t ReadBlockSize = 256;
  // Once a read made room in a full ring, the dispatch thread waits this long
  // at most for half of it to be read before it refills what is free.
  static constexpr uint32_t RingRefillSliceMs = 50;

  // How often a thread has woken from its wait since the dispatcher was
  // made: an idle port's threads do not wake at all.
  uint32_t WakeCount(TThreadKind kind) const { return wakeCounts_[int(kind)].load(); }

protected:
  void WatchLineEvents(bool on) override;

  platform::TSerialDevice Device;
  platform::TEvent RxWakeEvent;
  // Set by the read thread after it drained the device; rearms the status
  // thread's received-character watch.
  platform::TEvent RxDrainedEvent;
  // Manual-reset: a stop request, seen by every wait at once.
  platform::TEvent StopEvent{true};
  std::atomic<bool> StopInProgress{false};
  // The read thread left bytes in the device because InputQueue was over its
  // bound; the dispatch thread wakes it once the queue has drained.
  std::atomic<bool> ReaderThrottled{false};
  // A receive flush and the read thread's hand-over of a block it read take
  // this in turn: a block read before a flush never reaches the queue after
  // it. The generation counts the flushes.
  std::mutex RxFlushLock;
  uint64_t RxFlushGeneration = 0;

private:
  friend class TApdWin32Thread;
  friend class TReadThread;
  friend class TStatusThread;
  friend class TWriteThread;
  friend class TDispThread;
  void CountWake(TThreadKind kind) { wakeCounts_[int(kind)].fetch_add(1, std::memory_order_relaxed); }
  // Dispatch thread: sleeps until there is something to take from
  // InputQueue, room in a full ring, a trigger table to look at again, a
  // due timer trigger or a stop.
  void WaitForDispatchWork();
  std::atomic<uint32_t> wakeCounts_[ThreadKindCount] = {0, 0, 0, 0};
  bool ringWasFull_ = false; // dispatch thread
};

// Base of the read, write and status threads.
class TApdWin32Thread : public TApdDispatcherThread {
public:
  explicit TApdWin32Thread(TApdWin32Dispatcher *owner) : TApdDispatcherThread(owner), D(owner) {}
  bool Stopping() const { return Terminated() || D->StopRequested.load(); }

protected:
  TApdWin32Dispatcher *D;
};

class TReadThread : public TApdWin32Thread {
public:
  using TApdWin32Thread::TApdWin32Thread;
  TThreadKind Kind() const override { return TThreadKind::Read; }

protected:
  void Execute() override;

private:
  // Bytes read into the buffer, 0 when none waited, <0 on failure.
  int32_t ReadInto(TDataBuffer &buffer);
  // How many receive flushes there have been.
  uint64_t FlushGeneration();
  // True (and marked throttled) while InputQueue is over its bound.
  bool QueueOverLimit();
};

class TStatusThread : public TApdWin32Thread {
public:
  using TApdWin32Thread::TApdWin32Thread;
  TThreadKind Kind() const override { return TThreadKind::Status; }

protected:
  void Execute() override;
};

class TWriteThread : public TApdWin32Thread {
public:
  using TApdWin32Thread::TApdWin32Thread;
  TThreadKind Kind() const override { return TThreadKind::Write; }

protected:
  void Execute() override;

private:
  int32_t WritePending();
};

class TDispThread : public TApdDispatcherThread {
public:
  explicit TDispThread(TApdWin32Dispatcher *owner) : TApdDispatcherThread(owner), D(owner) {}
  TThreadKind Kind() const override { return TThreadKind::Dispatch; }

protected:
  void Execute() override;

private:
  TApdWin32Dispatcher *D;
};
