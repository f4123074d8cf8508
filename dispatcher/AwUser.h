#pragma once
// The dispatcher behind one open serial port: receive and transmit rings,
// the data operations the port component calls, opening and closing. Its
// other rooms, each in a file of its own: line settings and flow control
// (AwUserLine.cpp), triggers and notification delivery (AwUserNotify.cpp),
// tracing and logging (AwUserTrace.cpp). The device and the four background
// threads come from the platform dispatcher (AwWin32.h).
#include "dispatcher/AwConst.h"
#include "dispatcher/AwQueue.h"
#include "dispatcher/AwTriggers.h"
#include "platform/Clock.h"
#include "platform/Messages.h"
#include "platform/SerialDevice.h"
#include "platform/Sync.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// What the dispatcher needs of the port component that owns it. The
// component implements it; the dispatcher never sees the component itself.
class TApdDispatcherOwner {
public:
  virtual ~TApdDispatcherOwner() = default;
  // The component's error check: a negative code raises its exception
  // (except while the component is being loaded). Called from a background
  // thread when one ends with an unexpected code.
  virtual int32_t DispatcherErrorCheck(int32_t code) = 0;
  // The application's standard exception display, for an exception raised
  // by that check or escaping a background thread. Called on that thread.
  virtual void ShowDispatcherException(const std::exception &e) = 0;
};

class TApdBaseDispatcher;
enum class TThreadKind { Read = 0, Dispatch = 1, Write = 2, Status = 3 };
constexpr int ThreadKindCount = 4;

// Base of the four background threads. A thread runs on its own, frees
// itself when it ends, and reports its end to the dispatcher as its last act
// that touches the dispatcher.
class TApdDispatcherThread {
public:
  explicit TApdDispatcherThread(TApdBaseDispatcher *owner) : H(owner) {}
  virtual ~TApdDispatcherThread() = default;
  // Starts the thread; it deletes itself when Execute returns. False when
  // the system refused a thread (the object is then the caller's to free).
  bool Start();
  // Kernel thread id once running (0 before), for priorities.
  int64_t ThreadId() const { return threadId_.load(); }
  bool Terminated() const { return terminated_.load(); }
  void Terminate() { terminated_.store(true); }
  // The code the thread ends with: 0 for an ordinary end.
  int32_t Result() const { return ReturnCode; }
  virtual TThreadKind Kind() const = 0;

protected:
  virtual void Execute() = 0;

  TApdBaseDispatcher *H;
  int32_t ReturnCode = 0;

private:
  void Run();
  std::atomic<int64_t> threadId_{0};
  std::atomic<bool> terminated_{false};
};

class TApdBaseDispatcher {
public:
  explicit TApdBaseDispatcher(TApdDispatcherOwner *owner);
  virtual ~TApdBaseDispatcher();
  TApdBaseDispatcher(const TApdBaseDispatcher &) = delete;
  TApdBaseDispatcher &operator=(const TApdBaseDispatcher &) = delete;

  // ---- Virtual operations, in slot order ----
  virtual int32_t EscapeDevice(uint32_t function) = 0;                       // 0
  virtual int32_t PurgeDevice(uint32_t which) = 0;                           // 1
  virtual uint32_t ReadDeviceErrors(platform::TComStat &status) = 0;         // 2
  virtual int32_t ReportDeviceFailure(int32_t code) = 0;                     // 3
  virtual int32_t ReadDeviceState(platform::TDeviceControl &dcb) = 0;        // 4
  virtual int32_t ReadDevice(uint8_t *buffer, uint32_t size) = 0;            // 5
  virtual int32_t WriteDeviceState(const platform::TDeviceControl &dcb) = 0; // 6
  virtual int32_t WriteDevice(const uint8_t *buffer, uint32_t size) = 0;     // 7
  virtual bool WaitDeviceEvent(uint32_t &mask) = 0;                          // 8
  // Slot 9 (the public SizeDeviceQueues below wraps it).
  virtual bool SetupDeviceQueues(uint32_t inSize, uint32_t outSize) = 0;                      // 9
  virtual void ReleaseBuffers();                                                              // 10
  virtual void StartThreads() = 0;                                                            // 11
  virtual void StopThreads() = 0;                                                             // 12
  virtual uint32_t TransmitBufferUsed() = 0;                                                  // 13
  virtual uint32_t DeviceBytesWaiting();                                                      // 14
  virtual int32_t OpenDevice(const std::string &name, uint32_t inSize, uint32_t outSize) = 0; // 15
  virtual int32_t CloseDevice() = 0;                                                          // 16
  virtual int32_t YieldToDevice() = 0;                                                        // 17
  virtual void ApplyThreadBoost(uint8_t boost);                                               // 18
  virtual void RecomputeNotifyWanted(int kind);                                               // 19

  // ---- Lifecycle ----
  int32_t OpenDispatcher(const std::string &portName, int32_t rate, uint8_t parity, uint8_t dataBits, uint8_t stopBits,
                         uint32_t inSize, uint32_t outSize, uint8_t lineOptions);
  void CloseDispatcher();

  // ---- Data operations ----
  int32_t SendByte(uint8_t c);
  int32_t SendBlock(const void *buffer, uint32_t length);
  int32_t ReceiveByte(uint8_t &c);
  int32_t PeekByte(uint8_t &c, uint32_t position);
  uint32_t ReceivedCount();
  uint32_t TransmitUsed();
  uint32_t TransmitFree();
  int32_t SizeDeviceQueues(uint32_t inSize, uint32_t outSize);
  int32_t FlushTransmit();
  int32_t FlushReceive();
  uint8_t ReadLineError();
  bool TakeLineBreak();
  uint8_t ReadModemStatus();
  void SetOptionBits(uint32_t bits);
  void ClearOptionBits(uint32_t bits);
  void RefreshLineStatus();

  // ---- Line settings and flow control (AwUserLine.cpp) ----
  int32_t ApplyLineFormat(int32_t rate, uint8_t parity, uint8_t dataBits, uint8_t stopBits);
  void ReadLineFormat(int32_t &rate, uint8_t &parity, uint8_t &dataBits, uint8_t &stopBits);
  int32_t DriveDtr(uint8_t level);
  int32_t DriveRts(uint8_t level);
  int32_t SetHardwareFlow(uint32_t bufferFull, uint32_t bufferResume, uint32_t options);
  int32_t EnableSoftwareFlow(uint32_t bufferFull, uint32_t bufferResume, uint32_t options);
  int32_t DisableSoftwareFlow();
  int32_t SetFlowCharacters(uint8_t xonChar, uint8_t xoffChar);
  int32_t ReadFlowOptions(uint32_t &hwOptions, uint32_t &swOptions, uint8_t &xonChar, uint8_t &xoffChar);
  void SetRs485(bool on);
  // The pause before a new format: 18 character times, in ms (rounded up,
  // doubled below 1 ms). Exposed for its arithmetic.
  static uint32_t FormatChangePauseMs(const platform::TDeviceControl &dcb);
  // Legacy rate codes (0xFF10.., 0xFEFF) to bits per second.
  static uint32_t TranslateRate(uint32_t rate);
  // The priority level of a thread of the given kind under a boost.
  static int ThreadLevel(TThreadKind kind, uint8_t boost, bool rs485);

  // ---- Triggers and notification (AwUserNotify.cpp) ----
  void SetAvailThreshold(int32_t length);
  int32_t GetAvailThreshold();
  void AddWindowHandler(platform::HWND window);
  void RemoveWindowHandler(platform::HWND window);
  void AddProcHandler(TApdNotifyProc proc);
  // Method handlers run on the dispatch thread; a synchronised one is marked
  // as such and runs there too: nothing in this system registers one.
  void AddMethodHandler(TApdNotifyMethod method, bool synchronised);
  void SaveTriggerSet(TSavedTriggerSet &set);
  void RestoreTriggerSet(const TSavedTriggerSet &set);
  static void FreeTriggerSet(TSavedTriggerSet &set);
  void ClearTriggerTables();
  // Dispatch thread: one receive cycle and one timer pass.
  void ReceiveCycle();
  void TimerPass();
  // One byte offered to a match trigger; true when its pattern completed.
  static bool MatchTriggerByte(TMatchTrigger &trigger, uint8_t b);
  // Delivers one notification to every handler; see the receive cycle.
  bool DeliverNotification(uint32_t msg, uint32_t trigger, uint32_t data);

  // ---- Tracing and logging (AwUserTrace.cpp) ----
  int32_t BeginByteTrace(uint32_t capacity);
  void RecordTraceByte(uint8_t kind, uint8_t data);
  int32_t EmptyByteTrace();
  void DropByteTrace();
  void ResumeByteTrace();
  void PauseByteTrace();
  int32_t SaveTraceFile(const std::string &fileName, bool hex, bool allHex);
  int32_t AppendTraceFile(const std::string &fileName, bool hex, bool allHex);
  void BeginEventLog(uint32_t limit);
  void RecordLogEvent(uint8_t type, uint16_t subType, uint32_t data, const void *bytes, uint32_t length);
  void EmptyEventLog();
  void DropEventLog();
  void ResumeEventLog();
  void PauseEventLog();
  int32_t SaveLogFile(const std::string &fileName, bool hex, bool allHex);
  int32_t AppendLogFile(const std::string &fileName, bool hex, bool allHex);
  // Called at open: both recorders off, log clock started.
  void ResetTraceAndLog();

  // ---- Threads ----
  // Thread end handling; called by each thread as its last act on us.
  void ThreadGone(TApdDispatcherThread *thread, TThreadKind kind);
  // Requests all threads to end; also wakes their waits.
  virtual void RequestStop();
  // The device's modem status bits (the platform's low byte); 0 without lines.
  virtual uint32_t PlatformModemStatus() = 0;
  // Hardware RS-485 direction control; false when the device lacks it and
  // RTS is driven around each written block instead.
  virtual bool PlatformRs485(bool on) = 0;

  // ---- What the component and its window look at ----
  TApdDispatcherOwner *Owner() const { return PortComponent; }
  int32_t Index() const { return DispatcherIndex; }
  int32_t GetDeviceHandle() const { return DeviceHandle.load(); }
  // The threads were started and not all have ended yet.
  bool ThreadsRunning() const { return ThreadsStarted.load(); }
  int32_t RunningThreadCount() const { return ActiveThreads.load(); }
  // A notification is being delivered (on the dispatch thread).
  bool IsNotifying() const { return Notifying.load(); }
  bool IsStopRequested() const { return StopRequested.load(); }
  // Kernel id of a running thread, 0 when it has none.
  int64_t ThreadId(TThreadKind kind) const { return ThreadIds[int(kind)].load(); }
  // The port name the dispatch log prints (set by the open, or by the
  // component before it).
  const std::string &GetDeviceName() const { return DeviceName; }
  void SetDeviceName(const std::string &name) { DeviceName = name; }

  // The device went away (a hang-up, an unplugged adapter) since the open.
  bool DeviceGone() const { return DeviceLostSeen.load(); }

protected:
  // Closing part of the destruction; the most-derived destructor calls it
  // while its device operations still exist.
  void Shutdown();
  // Waits, handling the calling thread's window messages, until done() holds
  // or maxMs passed (kInfinite: no limit). True when done() held.
  static bool PumpUntil(const std::function<bool()> &done, uint32_t maxMs);
  void MoveDeviceData();
  // Unread bytes in the receive ring (ReceiveLock held), not counting reads
  // made inside a notification.
  uint32_t UnreadBytesLocked() const;
  bool CheckReceiveTriggers();
  // -1: none fired; else the result of the delivery of the one that fired.
  int CheckStatusTriggers();
  int CheckTimerTriggers();
  // Status triggers until none fires; false when a close became pending.
  bool RunStatusTriggers();
  void ResetStatusHits();
  void WaitForLineDrain();
  int32_t WriteStateWithLines(platform::TDeviceControl &dcb);
  void DeleteRemovedHandlers();
  void RecomputeNotifyWantedLocked(int kind);

  // ---- Waking on demand (the threads sleep while nothing happens) ----
  // How long the dispatch thread may sleep: until the next timer trigger is
  // due, one pass slice while a transmit-side status trigger is armed, else
  // without limit.
  uint32_t DispatchWaitMs();
  // After a trigger table changed (StateLock held): the status thread
  // watches the modem lines and line errors only while a trigger looks at
  // them, and the dispatch thread recomputes how long it may sleep.
  void TriggerTablesChanged();
  // Starts or stops watching modem-line and line-error events.
  virtual void WatchLineEvents(bool) {}

  // ---- State ----
  TApdDispatcherOwner *PortComponent;
  int32_t DispatcherIndex = -1;
  std::atomic<int32_t> DeviceHandle{-1};
  int32_t LineErrorBits = 0; // StateLock
  uint32_t DeviceInSize = 0;
  uint32_t TransmitSize = 0;
  uint32_t ModemBits = 0; // StateLock
  platform::TComStat DeviceStatus;
  platform::TDeviceControl DeviceControl; // StateLock
  std::atomic<uint32_t> CurrentRate{0};   // also read by the write thread (RS-485)
  uint32_t OptionBits = 0;
  bool DtrOn = false, DtrByFlow = false, RtsOn = false, RtsByFlow = false;
  std::atomic<bool> Rs485Active{false};
  uint16_t UartBase = 0;
  bool PortWindowWanted = false;
  std::atomic<bool> NotifyWanted{false};
  std::vector<TWindowHandlerEntry> WindowHandlers;
  std::vector<TProcHandlerEntry> ProcedureHandlers;
  std::vector<TMethodHandlerEntry> MethodHandlers;
  std::vector<TTimerTrigger> TimerTable;
  std::vector<TMatchTrigger> MatchTable;
  std::vector<TStatusTrigger> StatusTable;
  uint32_t ScanPosition = 0;
  int32_t AvailThreshold = 0; // StateLock
  bool StatusHitSeen = false;
  bool ReadingInNotify = false;     // ReceiveLock
  uint32_t HandlerReadCount = 0;    // ReceiveLock
  uint32_t MaxHandlerReadCount = 0; // ReceiveLock
  bool RingFull = false;            // ReceiveLock
  uint32_t LastNotifiedHead = 0;
  // Bytes moved into the ring since open, and that count at the last avail
  // notification: exactly a ring's worth of new bytes leaves the head where
  // it was, and must still count as an arrival.
  uint64_t ReceivedTotal = 0;     // ReceiveLock
  uint64_t LastNotifiedTotal = 0; // dispatch thread
  std::atomic<bool> StopRequested{false};
  std::atomic<TApdDispatcherThread *> ReadThread{nullptr}, DispThread{nullptr}, WriteThread{nullptr},
      StatusThread{nullptr};
  // Kernel ids of the running threads (0: none), indexed by TThreadKind.
  std::atomic<int64_t> ThreadIds[ThreadKindCount] = {0, 0, 0, 0};
  // The platform error of the last failed device call (open or a thread).
  std::atomic<uint32_t> LastPlatformError{0};
  std::atomic<bool> Rs485Hardware{false};
  std::atomic<uint8_t> ThreadBoostLevel{0}; // read by starting threads
  platform::TCriticalSection StateLock, TransmitLock, ReceiveLock;
  std::unique_ptr<platform::TEvent> ThreadReadyEvent, TransmitEvent, TransmitFlushEvent;
  uint32_t EventWord = 0;
  bool RingSeen = false;
  TIOQueue InputQueue;
  std::unique_ptr<uint8_t[]> TransmitRing; // TransmitLock
  uint32_t TransmitHead = 0, TransmitTail = 0;
  bool TransmitFull = false;
  std::unique_ptr<uint8_t[]> ReceiveRing; // ReceiveLock
  uint32_t RingHead = 0, RingTail = 0;
  std::atomic<bool> Notifying{false};
  bool HandlersRemoved = false;
  std::atomic<bool> ClosePending{false};
  std::atomic<bool> SentSinceCheck{false};
  std::atomic<bool> ThreadsStarted{false};
  std::atomic<bool> ReleaseOnThreadEnd{false};
  std::atomic<int32_t> ActiveThreads{0};
  // Set when the device failure of this open has been recorded, so a read
  // and a status thread that both notice the hang-up report it once.
  std::atomic<bool> DeviceLostSeen{false};

  // A device failure asks for one status-trigger check; the dispatch thread
  // makes it as it ends, so two threads never deliver at once (StateLock).
  bool StatusCheckOnEnd = false;
  // While the ring is full the dispatch thread sleeps on RingSpaceEvent.
  // RingSpaceWanted (ReceiveLock) says what it waits for: the first read
  // that makes room, then (without a notification) the ring half read or one
  // refill slice, so a reader taking byte after byte does not wake it for
  // every byte.
  enum TRingSpaceWait : uint8_t { rsNone, rsAnyRoom, rsHalfEmpty };
  platform::TEvent RingSpaceEvent;
  TRingSpaceWait RingSpaceWanted = rsNone;
  // Wakes the dispatch thread to look at its trigger tables again.
  platform::TEvent DispatchWakeEvent;

  // Trace state (StateLock; TraceActive may be peeked without it).
  std::atomic<bool> TraceActive{false};
  std::vector<uint8_t> TraceBuffer; // 2 bytes per entry: kind, data
  int32_t TracePosition = 0;
  uint32_t TraceCapacity = 0;
  bool TraceWrapped = false;
  // Log state (LogQueue has its own lock).
  std::atomic<bool> LogActive{false};
  TIOQueue LogQueue;
  // Set on the main thread, read by the dispatch thread as it records.
  std::atomic<uint32_t> LogLimit{0};
  std::atomic<uint32_t> LogClockStart{0};
  std::string DeviceName;

  bool shutdownDone_ = false;

private:
  friend class TApdDispatcherThread;
  int32_t DumpTrace(const std::string &fileName, bool hex, bool allHex, bool append);
  int32_t DumpLog(const std::string &fileName, bool hex, bool allHex, bool append);
};

// The process-wide registry of live dispatchers; index = DispatcherIndex.
// Take DispatcherListLock while reading an entry and using it.
extern std::vector<TApdBaseDispatcher *> DispatcherList;
extern platform::TCriticalSection DispatcherListLock;
// The dispatcher of a notification's second parameter, or nullptr. Call with
// DispatcherListLock held.
TApdBaseDispatcher *DispatcherFromParam(intptr_t secondParam);
