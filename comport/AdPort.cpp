// The port component's life: the hidden window's procedure, opening and
// closing, the data operations and the notifications turned into events.
// Its properties are in AdPortProperties.cpp.
#include "comport/AdPort.h"

#include <algorithm>
#include <exception>
#include <mutex>

#include "dispatcher/AwWin32.h"
#include "errors/AdExcept.h"
#include "runtime/SysUtils.h"

namespace {

constexpr const char *kComWindowClass = "awComWindow";
// A close from outside our events answers a delivery still under way for
// this long at most, looking at its messages this often.
constexpr uint32_t kCloseWaitMs = 10000;
constexpr uint32_t kCloseWaitSliceMs = 10;

bool IsOurMessage(uint32_t msg) {
  return msg == NotifyAvail || msg == NotifyData || msg == NotifyTimer || msg == NotifyStatus ||
         msg == NotifyClosePending;
}

std::string DeviceName(int comNumber) { return platform::PortDeviceName(comNumber); }

} // namespace

platform::LRESULT ComWindowProc(platform::HWND wnd, uint32_t msg, platform::WPARAM w, platform::LPARAM l) {
  if (!IsOurMessage(msg))
    return 0;
  // The window carries its component; the notification names a dispatcher,
  // which must still be alive and still be that component's.
  auto *port = static_cast<TApdCustomComPort *>(platform::GetWindowData(wnd));
  if (!port)
    return 0;
  std::lock_guard<platform::TCriticalSection> listLock(DispatcherListLock);
  TApdBaseDispatcher *d = DispatcherFromParam(l);
  if (!d || !d->Owner() || d->Owner() != static_cast<TApdDispatcherOwner *>(port))
    return 0;
  struct Depth {
    int &d;
    explicit Depth(int &x) : d(x) { ++d; }
    ~Depth() { --d; }
  } depth(port->notifyDepth_);
  try {
    port->HandleNotification(msg, w, l);
  } catch (const std::exception &e) {
    if (IsMainThread())
      ShowApplicationException(e);
  } catch (...) {
  }
  return 0;
}

// ---------------------------------------------------------------- lifecycle

TApdCustomComPort::TApdCustomComPort() : savedTriggers_(std::make_unique<TSavedTriggerSet>()) {}

TApdCustomComPort::~TApdCustomComPort() {
  try {
    if (phase_ == ppOpen)
      ClosePort();
  } catch (const std::exception &e) {
    if (IsMainThread())
      ShowApplicationException(e);
  }
  // A close still waiting for the dispatcher's threads must not leave a
  // window that leads back to this component.
  try {
    if (notifyWindow_)
      SetupNotifyWindow(false);
  } catch (...) {
  }
  dispatcher_.reset();
  phase_ = ppClosed;
  TApdBaseDispatcher::FreeTriggerSet(*savedTriggers_);
}

void TApdCustomComPort::BeginLoading() { loading_ = true; }

void TApdCustomComPort::Loaded() {
  loading_ = false;
  if (openAfterLoad_)
    open_ = true;
  if (open_) {
    openAfterLoad_ = false;
    try {
      PerformOpen();
    } catch (const std::exception &e) {
      open_ = false;
      ShowApplicationException(e);
    }
  }
}

void TApdCustomComPort::Assign(const TApdCustomComPort &p) {
  if (&p == this)
    return;
  if (p.phase_ == ppOpen && p.dispatcher_) {
    p.dispatcher_->SaveTriggerSet(*savedTriggers_);
    restoreTriggersOnOpen_ = true;
  }
  reapplyAll_ = p.reapplyAll_;
  deviceLayer_ = p.deviceLayer_;
  comNumber_ = p.comNumber_;
  baud_ = p.baud_;
  parity_ = p.parity_;
  dataBits_ = p.dataBits_;
  stopBits_ = p.stopBits_;
  inSize_ = p.inSize_;
  outSize_ = p.outSize_;
  autoOpen_ = p.autoOpen_;
  promptForPort_ = p.promptForPort_;
  rs485Mode_ = p.rs485Mode_;
  threadBoostLevel_ = p.threadBoostLevel_;
  dtr_ = p.dtr_;
  rts_ = p.rts_;
  bufferFull_ = p.bufferFull_;
  bufferResume_ = p.bufferResume_;
  hwFlow_ = p.hwFlow_;
  swFlow_ = p.swFlow_;
  xOn_ = p.xOn_;
  xOff_ = p.xOff_;
  tracing_ = p.tracing_;
  traceSize_ = p.traceSize_;
  traceName_ = p.traceName_;
  traceHex_ = p.traceHex_;
  traceAllHex_ = p.traceAllHex_;
  logging_ = p.logging_;
  logSize_ = p.logSize_;
  logName_ = p.logName_;
  logHex_ = p.logHex_;
  logAllHex_ = p.logAllHex_;
  availThreshold_ = p.availThreshold_;
  open_ = false;
  OnTrigger = p.OnTrigger.Handler();
  OnTriggerAvail = p.OnTriggerAvail.Handler();
  OnTriggerData = p.OnTriggerData.Handler();
  OnTriggerStatus = p.OnTriggerStatus.Handler();
  OnTriggerTimer = p.OnTriggerTimer.Handler();
  OnPortOpen = p.OnPortOpen;
  OnPortClose = p.OnPortClose;
  tapiMode_ = p.tapiMode_;
}

int32_t TApdCustomComPort::CheckResult(int32_t code) const { return ::CheckResult(loading_, code); }

void TApdCustomComPort::ShowDispatcherException(const std::exception &e) { ShowApplicationException(e); }

std::unique_ptr<TApdBaseDispatcher> TApdCustomComPort::CreateDispatcher() {
  if (deviceLayer_ != dlWin32)
    RaiseForCode(ENullApi::kCode);
  // No telephony dispatcher on this platform; tmOn fails in PerformOpen.
  return std::make_unique<TApdWin32Dispatcher>(this);
}

int32_t TApdCustomComPort::OpenThroughDispatcher() {
  uint8_t options = 0;
  if (dtr_)
    options |= loDtrOn;
  if (rts_)
    options |= loRtsOn;
  if (hwFlow_.Contains(hwfUseDTR))
    options |= loDtrByFlow;
  if (hwFlow_.Contains(hwfUseRTS))
    options |= loRtsByFlow;
  return dispatcher_->OpenDispatcher(DeviceName(comNumber_), baud_, uint8_t(parity_), uint8_t(dataBits_),
                                     uint8_t(stopBits_), inSize_, outSize_, options);
}

namespace {
TPortPrompt &PortPrompt() {
  static TPortPrompt prompt;
  return prompt;
}
} // namespace

void SetPortPrompt(TPortPrompt prompt) { PortPrompt() = std::move(prompt); }

void TApdCustomComPort::CheckPortNumber() {
  if (comNumber_ != 0)
    return;
  if (!promptForPort_)
    RaiseForCode(ENoPortSelected::kCode);
  // A process that installed no way of asking cannot ask anyone.
  const int chosen = PortPrompt() ? PortPrompt()() : 0;
  if (chosen <= 0)
    RaiseForCode(ENoPortSelected::kCode);
  // The phase is ppClosed: this only stores the number.
  SetComNumber(chosen);
}

void TApdCustomComPort::PerformOpen() {
  if (tapiMode_ != tmOn)
    CheckPortNumber();
  dispatcher_ = CreateDispatcher();
  dispatcher_->SetDeviceName(DeviceName(comNumber_));
  try {
    // A telephony open needs a device the telephony layer opened; this
    // platform has none, so such an open always ends here.
    if (tapiMode_ == tmOn && dispatcher_->GetDeviceHandle() < 0) {
      CheckResult(ENotOpenedByTapi::kCode);
      throw ENotOpenedByTapi();
    }
    int32_t rc = OpenThroughDispatcher();
    if (rc == ResultForPlatformError(platform::kErrAccessDenied))
      rc = ecAlreadyOpen;
    else if (rc == ResultForPlatformError(platform::kErrFileNotFound) ||
             rc == ResultForPlatformError(platform::kErrPathNotFound))
      rc = ecBadId;
    if (rc != 0) {
      CheckResult(rc);
      // Only while loading does the check return: the open failed all the same.
      throw EAPDException(rc);
    }
    phase_ = ppOpen;
    UpdateTriggerInterest();
    {
      FlagScope all(reapplyAll_, true);
      SetTracing(tracing_);
      SetLogging(logging_);
      SetHWFlowOptions(hwFlow_);
      SetSWFlowOptions(swFlow_);
      SetXOnChar(xOn_);
      SetXOffChar(xOff_);
      SetAvailThreshold(availThreshold_);
      SetDTR(dtr_);
      SetRTS(rts_);
      SetUseEventWord(useEventWord_);
      SetRS485Mode(rs485Mode_);
      SetThreadBoostLevel(threadBoostLevel_);
    }
    open_ = true;
    SetupNotifyWindow(true);
    if (restoreTriggersOnOpen_) {
      restoreTriggersOnOpen_ = false;
      dispatcher_->RestoreTriggerSet(*savedTriggers_);
    }
    AnnounceOpened();
  } catch (...) {
    open_ = false;
    phase_ = ppClosed;
    if (notifyWindow_) {
      try {
        SetupNotifyWindow(false);
      } catch (...) {
      }
    }
    dispatcher_.reset();
    throw;
  }
}

void TApdCustomComPort::SetOpen(bool v) {
  if (loading_) {
    if (v == open_)
      return;
    open_ = v;
    if (v)
      openAfterLoad_ = true;
    return;
  }
  // A close deferred until the current notification ends still reads as
  // open; a reopen or a fresh close asked for meanwhile is remembered here,
  // or a port number change made inside an event would leave the port shut.
  if (phase_ == ppClosing) {
    reopenRequested_ = v;
    return;
  }
  if (v == open_)
    return;
  if (!v) {
    ClosePort();
    return;
  }
  if (phase_ != ppClosed)
    reopenRequested_ = true;
  else
    PerformOpen();
}

void TApdCustomComPort::ClosePort() {
  if (phase_ != ppOpen)
    return;
  // A trace or log that cannot be written must not keep the port open: the
  // close goes on and the first such error is raised once it is done.
  std::exception_ptr dumpError;
  try {
    SetTracing(tlDump);
  } catch (...) {
    dumpError = std::current_exception();
  }
  try {
    SetLogging(tlDump);
  } catch (...) {
    if (!dumpError)
      dumpError = std::current_exception();
  }
  phase_ = ppClosing;
  AnnounceClosing();
  dispatcher_->SaveTriggerSet(*savedTriggers_);
  restoreTriggersOnOpen_ = true;
  // Called from inside one of our events? Our own window procedure knows;
  // the dispatcher's flag only says a delivery is under way somewhere.
  const bool fromEvent = notifyDepth_ > 0;
  dispatcher_->CloseDispatcher();
  bool deferred = fromEvent || dispatcher_->IsNotifying();
  if (deferred && !fromEvent) {
    // A delivery was under way on the dispatch thread, but none of our
    // events is on this stack: it ends within the send time-out. Answer what
    // it sends us until the threads are gone, so a close from outside an
    // event completes before it returns.
    const uint32_t start = MillisecondClock();
    while (dispatcher_->ThreadsRunning() && MillisecondClock() - start < kCloseWaitMs) {
      if (!ProcessOneMessage())
        platform::WaitForMessage(kCloseWaitSliceMs);
    }
    deferred = dispatcher_->IsNotifying() || dispatcher_->ThreadsRunning();
  }
  if (deferred) {
    platform::PostMessage(notifyWindow_, NotifyClosePending, 0, NotifyParam(dispatcher_->Index(), 0));
    ProcessOneMessage();
  } else {
    SetupNotifyWindow(false);
    dispatcher_.reset();
    phase_ = ppClosed;
    open_ = false;
  }
  AnnounceClosed();
  if (dumpError)
    std::rethrow_exception(dumpError);
}

void TApdCustomComPort::CompleteClose() {
  SetupNotifyWindow(false);
  dispatcher_.reset();
  phase_ = ppClosed;
  open_ = false;
}

void TApdCustomComPort::SetupNotifyWindow(bool create) {
  if (create) {
    static std::once_flag registered;
    std::call_once(registered, [] { platform::RegisterWindowClass(kComWindowClass, ComWindowProc); });
    notifyWindow_ = platform::CreateHiddenWindow(kComWindowClass, this);
    dispatcher_->AddWindowHandler(notifyWindow_);
  } else if (notifyWindow_) {
    if (dispatcher_)
      dispatcher_->RemoveWindowHandler(notifyWindow_);
    platform::DestroyHiddenWindow(notifyWindow_);
    notifyWindow_ = nullptr;
  }
}

void TApdCustomComPort::AnnounceClosed() {
  if (OnPortClose)
    OnPortClose(*this);
}

void TApdCustomComPort::AnnounceOpened() {
  if (OnPortOpen)
    OnPortOpen(*this);
}

// -------------------------------------------------------------- operations

TApdBaseDispatcher *TApdCustomComPort::ActiveDispatcher() {
  if (!dispatcher_ && phase_ != ppOpen && !loading_ && autoOpen_)
    SetOpen(true);
  return dispatcher_.get();
}

TApdBaseDispatcher *TApdCustomComPort::RequireDispatcher() {
  if (!ActiveDispatcher())
    CheckResult(ECommNotOpen::kCode);
  return ActiveDispatcher(); // null only while loading, where nothing raises
}

void TApdCustomComPort::WriteChar(char C) {
  if (phase_ == ppClosing)
    return;
  if (TApdBaseDispatcher *d = RequireDispatcher())
    CheckResult(d->SendByte(uint8_t(C)));
}

char TApdCustomComPort::ReadChar() {
  if (phase_ == ppClosing)
    return 0;
  TApdBaseDispatcher *d = RequireDispatcher();
  if (!d)
    return 0;
  uint8_t b = 0;
  int32_t rc = d->ReceiveByte(b);
  if (rc == 0)
    return char(b);
  CheckResult(rc);
  return 0;
}

char TApdCustomComPort::PeekChar(uint16_t Index) {
  if (phase_ == ppClosing)
    return 0;
  TApdBaseDispatcher *d = RequireDispatcher();
  if (!d)
    return 0;
  uint8_t b = 0;
  int32_t rc = d->PeekByte(b, Index);
  if (rc == 0)
    return char(b);
  CheckResult(rc);
  return 0;
}

bool TApdCustomComPort::DeviceLost() const { return phase_ == ppOpen && dispatcher_ && dispatcher_->DeviceGone(); }

uint16_t TApdCustomComPort::QueryLineError() {
  if (phase_ != ppOpen)
    return 0;
  TApdBaseDispatcher *d = ActiveDispatcher();
  return d ? d->ReadLineError() : 0;
}

bool TApdCustomComPort::QueryLineBreak() {
  if (phase_ != ppOpen)
    return false;
  TApdBaseDispatcher *d = ActiveDispatcher();
  return d ? d->TakeLineBreak() : false;
}

void TApdCustomComPort::YieldToPort() {
  if (phase_ == ppClosing)
    return;
  if (TApdBaseDispatcher *d = RequireDispatcher())
    CheckResult(d->YieldToDevice());
}

void TApdCustomComPort::UpdateTriggerInterest() {
  if (phase_ != ppOpen || !dispatcher_)
    return;
  bool any = OnTrigger || OnTriggerAvail || OnTriggerData || OnTriggerStatus || OnTriggerTimer || OnTriggerLineError ||
             OnTriggerModemStatus || OnTriggerOutbuffFree || OnTriggerOutbuffUsed || OnTriggerOutSent;
  dispatcher_->RecomputeNotifyWanted(any ? nwTriggerEventsAssigned : nwNoTriggerEvents);
}

// ------------------------------------------------------- notifications

void TApdCustomComPort::HandleNotification(uint32_t msg, platform::WPARAM w, platform::LPARAM l) {
  const uint16_t wp = uint16_t(w);
  const uint16_t low = NotifyParamData(l);
  FireTrigger(uint16_t(msg), wp, msg == NotifyAvail ? wp : low);
  switch (msg) {
  case NotifyAvail:
    FireTriggerAvail(wp);
    break;
  case NotifyData:
    FireTriggerData(wp);
    break;
  case NotifyTimer:
    FireTriggerTimer(wp);
    break;
  case NotifyStatus:
    FireTriggerStatus(wp);
    switch (wp & StatusKindMask) {
    case stModem:
      FireTriggerModemStatus();
      break;
    case stLine: {
      bool lineBreak = QueryLineBreak();
      uint16_t error = QueryLineError();
      FireTriggerLineError(error, lineBreak);
      break;
    }
    case stOutBuffFree:
      FireTriggerOutbuffFree();
      break;
    case stOutBuffUsed:
      FireTriggerOutbuffUsed();
      break;
    case stOutSent:
      FireTriggerOutSent();
      break;
    default:
      break;
    }
    break;
  case NotifyClosePending:
    if (!dispatcher_)
      break;
    // Not while the threads run, nor while the event that asked for the
    // close is still on the stack below us: it completes after that event.
    if (dispatcher_->ThreadsRunning() || notifyDepth_ > 1) {
      platform::PostMessage(notifyWindow_, NotifyClosePending, 0, l);
      break;
    }
    CompleteClose();
    if (reopenRequested_) {
      reopenRequested_ = false;
      PerformOpen();
    }
    break;
  default:
    break;
  }
}

void TApdCustomComPort::FireTrigger(uint16_t Msg, uint16_t TriggerHandle, uint16_t Data) {
  if (OnTrigger)
    OnTrigger(*this, Msg, TriggerHandle, Data);
}
void TApdCustomComPort::FireTriggerAvail(uint16_t Count) {
  if (OnTriggerAvail)
    OnTriggerAvail(*this, Count);
}
void TApdCustomComPort::FireTriggerData(uint16_t TriggerHandle) {
  if (OnTriggerData)
    OnTriggerData(*this, TriggerHandle);
}
void TApdCustomComPort::FireTriggerStatus(uint16_t TriggerHandle) {
  if (OnTriggerStatus)
    OnTriggerStatus(*this, TriggerHandle);
}
void TApdCustomComPort::FireTriggerTimer(uint16_t TriggerHandle) {
  if (OnTriggerTimer)
    OnTriggerTimer(*this, TriggerHandle);
}
void TApdCustomComPort::FireTriggerLineError(uint16_t Error, bool LineBreak) {
  if (OnTriggerLineError)
    OnTriggerLineError(*this, Error, LineBreak);
}
void TApdCustomComPort::FireTriggerModemStatus() {
  if (OnTriggerModemStatus)
    OnTriggerModemStatus(*this);
}
void TApdCustomComPort::FireTriggerOutbuffFree() {
  if (OnTriggerOutbuffFree)
    OnTriggerOutbuffFree(*this);
}
void TApdCustomComPort::FireTriggerOutbuffUsed() {
  if (OnTriggerOutbuffUsed)
    OnTriggerOutbuffUsed(*this);
}
void TApdCustomComPort::FireTriggerOutSent() {
  if (OnTriggerOutSent)
    OnTriggerOutSent(*this);
}
void TApdCustomComPort::FireWaitChar(char C) {
  if (OnWaitChar)
    OnWaitChar(*this, C);
}
