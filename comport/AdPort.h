#pragma once
// The serial port component: line settings and options as properties with
// defaults, open and close through a dispatcher, and the dispatcher's
// notifications turned into events on the thread that opened the port.
#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

#include "comport/OoMisc.h"
#include "dispatcher/AwUser.h"
// What the port raises is part of what it shows.
#include "errors/AdExcept.h"
#include "platform/Messages.h"

class TApdCustomComPort;

// Asks the user for a port when one is opened without a number (and with
// PromptForPort): returns the number chosen, 0 for none. A widget program
// installs its dialog here; without one such an open fails.
using TPortPrompt = std::function<int()>;
void SetPortPrompt(TPortPrompt prompt);

enum TDeviceLayer : uint8_t { dlWin32, dlWinsock };
enum TParity : uint8_t { pNone, pOdd, pEven, pMark, pSpace };
enum THWFlowOption : uint8_t { hwfUseDTR, hwfUseRTS, hwfRequireDSR, hwfRequireCTS };
enum TSWFlowOptions : uint8_t { swfNone, swfReceive, swfTransmit, swfBoth };
enum TTraceLogState : uint8_t { tlOff, tlOn, tlDump, tlAppend, tlClear, tlPause, tlAppendAndContinue };
enum TTapiMode : uint8_t { tmNone, tmAuto, tmOn, tmOff };
enum TPortPhase : uint8_t { ppClosed = 0, ppClosing = 1, ppOpen = 2 };

// A set of THWFlowOption.
class THWFlowOptionSet {
public:
  constexpr THWFlowOptionSet() = default;
  constexpr THWFlowOptionSet(std::initializer_list<THWFlowOption> opts) {
    for (auto o : opts)
      bits_ |= uint8_t(1u << o);
  }
  constexpr bool Contains(THWFlowOption o) const { return bits_ & (1u << o); }
  constexpr THWFlowOptionSet Without(THWFlowOptionSet other) const {
    THWFlowOptionSet s;
    s.bits_ = bits_ & uint8_t(~other.bits_);
    return s;
  }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr bool operator==(const THWFlowOptionSet &) const = default;

private:
  uint8_t bits_ = 0;
};

using TPortNotifyEvent = std::function<void(TApdCustomComPort &Sender)>;
using TTriggerEvent = std::function<void(TApdCustomComPort &CP, uint16_t Msg, uint16_t TriggerHandle, uint16_t Data)>;
using TTriggerAvailEvent = std::function<void(TApdCustomComPort &CP, uint16_t Count)>;
using TTriggerDataEvent = std::function<void(TApdCustomComPort &CP, uint16_t TriggerHandle)>;
using TTriggerStatusEvent = std::function<void(TApdCustomComPort &CP, uint16_t TriggerHandle)>;
using TTriggerTimerEvent = std::function<void(TApdCustomComPort &CP, uint16_t TriggerHandle)>;
using TTriggerLineErrorEvent = std::function<void(TApdCustomComPort &CP, uint16_t Error, bool LineBreak)>;
using TWaitCharEvent = std::function<void(TApdCustomComPort &CP, char C)>;

// A trigger event: assigning it (a handler or nullptr) tells an open
// dispatcher at once whether the component still wants notifications.
template <class F>
class TTriggerEventProperty {
public:
  explicit TTriggerEventProperty(TApdCustomComPort *owner) : owner_(owner) {}
  TTriggerEventProperty(const TTriggerEventProperty &) = delete;
  TTriggerEventProperty &operator=(const TTriggerEventProperty &other) { return *this = other.fn_; }
  TTriggerEventProperty &operator=(F f);
  TTriggerEventProperty &operator=(std::nullptr_t) { return *this = F(); }
  explicit operator bool() const { return static_cast<bool>(fn_); }
  template <class... A>
  void operator()(A &&...args) const {
    fn_(std::forward<A>(args)...);
  }
  const F &Handler() const { return fn_; }

private:
  TApdCustomComPort *owner_;
  F fn_;
};

class TApdCustomComPort : public TApdBaseComponent, public TApdDispatcherOwner {
public:
  TApdCustomComPort();
  ~TApdCustomComPort() override;
  TApdCustomComPort(const TApdCustomComPort &) = delete;
  TApdCustomComPort &operator=(const TApdCustomComPort &) = delete;

  // Loading from stored settings: between BeginLoading() and Loaded() no
  // error code raises and Open only records the wish to open.
  void BeginLoading();
  virtual void Loaded();
  bool IsLoading() const { return loading_; }

  // Copies another port's settings (the port itself stays closed).
  virtual void Assign(const TApdCustomComPort &source);

  // ---- properties
  TDeviceLayer DeviceLayer() const { return deviceLayer_; }
  void SetDeviceLayer(TDeviceLayer v);
  int ComNumber() const { return comNumber_; }
  void SetComNumber(int v);
  int32_t Baud() const { return baud_; }
  void SetBaud(int32_t v);
  bool PromptForPort() const { return promptForPort_; }
  void SetPromptForPort(bool v) { promptForPort_ = v; }
  TParity Parity() const { return parity_; }
  void SetParity(TParity v);
  uint16_t DataBits() const { return dataBits_; }
  void SetDataBits(uint16_t v);
  uint16_t StopBits() const { return stopBits_; }
  void SetStopBits(uint16_t v);
  uint16_t InSize() const { return inSize_; }
  void SetInSize(uint16_t v);
  uint16_t OutSize() const { return outSize_; }
  void SetOutSize(uint16_t v);
  bool AutoOpen() const { return autoOpen_; }
  void SetAutoOpen(bool v) { autoOpen_ = v; }
  bool Open() const { return open_; }
  void SetOpen(bool v);
  bool DTR() const { return dtr_; }
  void SetDTR(bool v);
  bool RTS() const { return rts_; }
  void SetRTS(bool v);
  THWFlowOptionSet HWFlowOptions() const { return hwFlow_; }
  void SetHWFlowOptions(THWFlowOptionSet v);
  TSWFlowOptions SWFlowOptions() const { return swFlow_; }
  void SetSWFlowOptions(TSWFlowOptions v);
  char XOnChar() const { return xOn_; }
  void SetXOnChar(char v);
  char XOffChar() const { return xOff_; }
  void SetXOffChar(char v);
  uint16_t BufferFull() const { return bufferFull_; }
  void SetBufferFull(uint16_t v);
  uint16_t BufferResume() const { return bufferResume_; }
  void SetBufferResume(uint16_t v);
  TTraceLogState Tracing() const { return tracing_; }
  void SetTracing(TTraceLogState v);
  uint32_t TraceSize() const { return traceSize_; }
  void SetTraceSize(uint32_t v);
  const std::string &TraceName() const { return traceName_; }
  void SetTraceName(const std::string &v) { traceName_ = ShortString(v); }
  bool TraceHex() const { return traceHex_; }
  void SetTraceHex(bool v) { traceHex_ = v; }
  bool TraceAllHex() const { return traceAllHex_; }
  void SetTraceAllHex(bool v) { traceAllHex_ = v; }
  TTraceLogState Logging() const { return logging_; }
  void SetLogging(TTraceLogState v);
  uint32_t LogSize() const { return logSize_; }
  void SetLogSize(uint32_t v);
  const std::string &LogName() const { return logName_; }
  void SetLogName(const std::string &v) { logName_ = ShortString(v); }
  bool LogHex() const { return logHex_; }
  void SetLogHex(bool v) { logHex_ = v; }
  bool LogAllHex() const { return logAllHex_; }
  void SetLogAllHex(bool v) { logAllHex_ = v; }
  bool UseMSRShadow() const { return true; }
  void SetUseMSRShadow(bool v) { WriteUseMSRShadow(v); }
  bool UseEventWord() const { return useEventWord_; }
  void SetUseEventWord(bool v);
  uint16_t CommNotificationLevel() const { return commNotificationLevel_; }
  void SetCommNotificationLevel(uint16_t v) { commNotificationLevel_ = v; }
  TTapiMode TapiMode() const { return tapiMode_; }
  void SetTapiMode(TTapiMode v) { tapiMode_ = v; }
  bool RS485Mode() const { return rs485Mode_; }
  void SetRS485Mode(bool v);
  uint16_t AvailThreshold() const { return availThreshold_; }
  void SetAvailThreshold(uint16_t v);
  uint8_t ThreadBoostLevel() const { return threadBoostLevel_; }
  void SetThreadBoostLevel(uint8_t v);

  // ---- events (empty at construction)
  TPortNotifyEvent OnPortClose;
  TPortNotifyEvent OnPortOpen;
  TTriggerEventProperty<TTriggerEvent> OnTrigger{this};
  TTriggerEventProperty<TTriggerAvailEvent> OnTriggerAvail{this};
  TTriggerEventProperty<TTriggerDataEvent> OnTriggerData{this};
  TTriggerEventProperty<TTriggerStatusEvent> OnTriggerStatus{this};
  TTriggerEventProperty<TTriggerTimerEvent> OnTriggerTimer{this};
  TTriggerEventProperty<TTriggerLineErrorEvent> OnTriggerLineError{this};
  TTriggerEventProperty<TPortNotifyEvent> OnTriggerModemStatus{this};
  TTriggerEventProperty<TPortNotifyEvent> OnTriggerOutbuffFree{this};
  TTriggerEventProperty<TPortNotifyEvent> OnTriggerOutbuffUsed{this};
  TTriggerEventProperty<TPortNotifyEvent> OnTriggerOutSent{this};
  TWaitCharEvent OnWaitChar; // unpublished; nothing raises it here

  // ---- operations
  TApdBaseDispatcher *ActiveDispatcher();
  TApdBaseDispatcher *RequireDispatcher();
  void WriteChar(char C);
  char ReadChar();
  // The Index-th waiting byte (1 = the one ReadChar would return next),
  // left in place.
  char PeekChar(uint16_t Index);
  uint16_t QueryLineError();
  // The open device went away; unlike the line error it stays so until the
  // port is closed.
  bool DeviceLost() const;
  bool QueryLineBreak();
  virtual void YieldToPort();
  virtual void ClosePort();
  virtual void UpdateTriggerInterest();

  // ---- state, for inspection
  TPortPhase Phase() const { return phase_; }
  TApdBaseDispatcher *PortDispatcher() const { return dispatcher_.get(); }
  platform::HWND NotifyWindow() const { return notifyWindow_; }
  bool ReopenRequested() const { return reopenRequested_; }

  // The error check: a negative code raises its exception unless loading.
  int32_t CheckResult(int32_t code) const;

  // What the dispatcher asks of its owner.
  int32_t DispatcherErrorCheck(int32_t code) override { return CheckResult(code); }
  void ShowDispatcherException(const std::exception &e) override;

protected:
  virtual std::unique_ptr<TApdBaseDispatcher> CreateDispatcher();
  virtual void LayerSwitched() {}
  virtual int32_t OpenThroughDispatcher();
  virtual void SetupNotifyWindow(bool create);
  virtual void CheckPortNumber();
  virtual void WriteUseMSRShadow(bool) {}
  virtual void FireTrigger(uint16_t Msg, uint16_t TriggerHandle, uint16_t Data);
  virtual void FireTriggerAvail(uint16_t Count);
  virtual void FireTriggerData(uint16_t TriggerHandle);
  virtual void FireTriggerStatus(uint16_t TriggerHandle);
  virtual void FireTriggerTimer(uint16_t TriggerHandle);
  virtual void FireTriggerLineError(uint16_t Error, bool LineBreak);
  virtual void FireTriggerModemStatus();
  virtual void FireTriggerOutbuffFree();
  virtual void FireTriggerOutbuffUsed();
  virtual void FireTriggerOutSent();
  virtual void FireWaitChar(char C);
  virtual void PerformOpen();
  virtual void AnnounceClosing() {}
  virtual void AnnounceClosed();
  virtual void AnnounceOpened();

private:
  friend platform::LRESULT ComWindowProc(platform::HWND, uint32_t, platform::WPARAM, platform::LPARAM);
  // Restores a flag on every way out of a scope.
  struct FlagScope {
    bool &flag;
    bool saved;
    FlagScope(bool &f, bool v) : flag(f), saved(f) { flag = v; }
    ~FlagScope() { flag = saved; }
  };
  static std::string ShortString(const std::string &s) { return s.substr(0, 255); }
  void HandleNotification(uint32_t msg, platform::WPARAM w, platform::LPARAM l);
  void CompleteClose();
  void ApplyTrace(TTraceLogState v);
  void ApplyLog(TTraceLogState v);
  void ReapplyFlow();

  TDeviceLayer deviceLayer_ = dlWin32;
  int comNumber_ = 0;
  int32_t baud_ = 19200;
  bool promptForPort_ = true;
  TParity parity_ = pNone;
  uint16_t dataBits_ = 8;
  uint16_t stopBits_ = 1;
  uint16_t inSize_ = 4096;
  uint16_t outSize_ = 4096;
  bool autoOpen_ = true;
  bool open_ = false;
  bool dtr_ = true;
  bool rts_ = true;
  THWFlowOptionSet hwFlow_;
  TSWFlowOptions swFlow_ = swfNone;
  char xOn_ = char(platform::kXonChar);
  char xOff_ = char(platform::kXoffChar);
  uint16_t bufferFull_ = 0;
  uint16_t bufferResume_ = 0;
  TTraceLogState tracing_ = tlOff;
  uint32_t traceSize_ = 10000;
  std::string traceName_ = "Korvu.TRC";
  bool traceHex_ = true;
  bool traceAllHex_ = false;
  TTraceLogState logging_ = tlOff;
  uint32_t logSize_ = 10000;
  std::string logName_ = "Korvu.LOG";
  bool logHex_ = true;
  bool logAllHex_ = false;
  bool useEventWord_ = true;
  uint16_t commNotificationLevel_ = 10;
  TTapiMode tapiMode_ = tmAuto;
  bool rs485Mode_ = false;
  uint16_t availThreshold_ = 1;
  uint8_t threadBoostLevel_ = 0;
  uint16_t tapiDeviceId_ = 0;

  TPortPhase phase_ = ppClosed;
  std::unique_ptr<TApdBaseDispatcher> dispatcher_;
  platform::HWND notifyWindow_ = nullptr;
  std::unique_ptr<TSavedTriggerSet> savedTriggers_;
  bool restoreTriggersOnOpen_ = false;
  bool reapplyAll_ = false;
  bool reopenRequested_ = false;
  bool openAfterLoad_ = false;
  std::atomic<bool> loading_{false}; // read by the dispatcher's threads
  int notifyDepth_ = 0;              // nesting of our window procedure
};

// Publishes the properties and events; no behaviour of its own.
class TApdComPort : public TApdCustomComPort {
public:
  TApdComPort() = default;
};

template <class F>
TTriggerEventProperty<F> &TTriggerEventProperty<F>::operator=(F f) {
  fn_ = std::move(f);
  owner_->UpdateTriggerInterest();
  return *this;
}
