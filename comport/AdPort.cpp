#include "comport/AdPort.h"

#include <QApplication>

#include "comport/AdSelCom.h"

#include <algorithm>
#include <exception>
#include <mutex>

#include "dispatcher/AwUser.h"
#include "dispatcher/AwWin32.h"
#include "errors/AdExcept.h"
#include "runtime/SysUtils.h"

namespace {

constexpr const char *kComWindowClass = "awComWindow";
constexpr uint32_t kMaxTraceSize = 4000000;
constexpr uint32_t kMaxLogSize = 16000000;

constexpr int32_t kPlatformFileNotFound = -2;
constexpr int32_t kPlatformPathNotFound = -3;
constexpr int32_t kPlatformAccessDenied = -5;

bool IsOurMessage(uint32_t msg) {
  return msg == NotifyAvail || msg == NotifyData || msg == NotifyTimer || msg == NotifyStatus ||
         msg == NotifyClosePending;
}

std::string DeviceName(int comNumber) { return "\\\\.\\COM" + std::to_string(comNumber); }

// Restores a flag on every way out of a scope.
struct FlagScope {
  bool &flag;
  bool saved;
  FlagScope(bool &f, bool v) : flag(f), saved(f) { flag = v; }
  ~FlagScope() { flag = saved; }
};

} // namespace

platform::LRESULT ComWindowProc(platform::HWND, uint32_t msg, platform::WPARAM w, platform::LPARAM l) {
  if (!IsOurMessage(msg))
    return 0;
  std::lock_guard<platform::TCriticalSection> listLock(DispatcherListLock);
  TApdBaseDispatcher *d = DispatcherFromParam(l);
  if (!d || !d->PortComponent)
    return 0;
  auto *port = dynamic_cast<TApdCustomComPort *>(d->PortComponent);
  if (!port)
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
    options |= 0x01;
  if (rts_)
    options |= 0x02;
  if (hwFlow_.Contains(hwfUseDTR))
    options |= 0x10;
  if (hwFlow_.Contains(hwfUseRTS))
    options |= 0x20;
  return dispatcher_->OpenDispatcher(DeviceName(comNumber_), baud_, uint8_t(parity_), uint8_t(dataBits_),
                                     uint8_t(stopBits_), inSize_, outSize_, options);
}

void TApdCustomComPort::CheckPortNumber() {
  if (comNumber_ != 0)
    return;
  if (!promptForPort_)
    RaiseForCode(ENoPortSelected::kCode);
  // A process without a widget application cannot ask anyone.
  if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
    RaiseForCode(ENoPortSelected::kCode);
  // The dialog belongs to the application and is freed in every case.
  int chosen = 0;
  {
    std::unique_ptr<TComSelectForm> form(new TComSelectForm(nullptr));
    if (form->exec() != TComSelectForm::mrOk)
      RaiseForCode(ENoPortSelected::kCode);
    chosen = form->SelectedPortNumber(); // no port listed: ENoPortSelected
  }
  // The phase is ppClosed: this only stores the number.
  SetComNumber(chosen);
}

void TApdCustomComPort::PerformOpen() {
  if (tapiMode_ != tmOn)
    CheckPortNumber();
  dispatcher_ = CreateDispatcher();
  dispatcher_->DeviceName = DeviceName(comNumber_);
  try {
    // A telephony open needs a device the telephony layer opened; this
    // platform has none, so such an open always ends here.
    if (tapiMode_ == tmOn && dispatcher_->DeviceHandle.load() < 0) {
      CheckResult(ENotOpenedByTapi::kCode);
      throw ENotOpenedByTapi();
    }
    int32_t rc = OpenThroughDispatcher();
    if (rc == kPlatformAccessDenied)
      rc = EAlreadyOpen::kCode;
    else if (rc == kPlatformFileNotFound || rc == kPlatformPathNotFound)
      rc = EBadId::kCode;
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
  bool deferred = fromEvent || dispatcher_->Notifying;
  if (deferred && !fromEvent) {
    // A delivery was under way on the dispatch thread, but none of our
    // events is on this stack: it ends within the send time-out. Answer what
    // it sends us until the threads are gone, so a close from outside an
    // event completes before it returns.
    const uint32_t start = MillisecondClock();
    while (dispatcher_->ThreadsStarted.load() && MillisecondClock() - start < 10000) {
      if (!ProcessOneMessage())
        platform::WaitForMessage(10);
    }
    deferred = dispatcher_->Notifying || dispatcher_->ThreadsStarted.load();
  }
  if (deferred) {
    platform::PostMessage(notifyWindow_, NotifyClosePending, 0,
                          platform::LPARAM(uint32_t(dispatcher_->DispatcherIndex) << 16));
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

bool TApdCustomComPort::DeviceLost() const {
  return phase_ == ppOpen && dispatcher_ && dispatcher_->DeviceGone();
}

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
  bool any = OnTrigger || OnTriggerAvail || OnTriggerData || OnTriggerStatus || OnTriggerTimer ||
             OnTriggerLineError || OnTriggerModemStatus || OnTriggerOutbuffFree || OnTriggerOutbuffUsed ||
             OnTriggerOutSent;
  dispatcher_->RecomputeNotifyWanted(any ? 1 : 2);
}

// ------------------------------------------------------- notifications

void TApdCustomComPort::HandleNotification(uint32_t msg, platform::WPARAM w, platform::LPARAM l) {
  const uint16_t wp = uint16_t(w);
  const uint16_t low = uint16_t(uint32_t(l) & 0xFFFF);
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
    switch (wp & 7) {
    case 1:
      FireTriggerModemStatus();
      break;
    case 2: {
      bool lineBreak = QueryLineBreak();
      uint16_t error = QueryLineError();
      FireTriggerLineError(error, lineBreak);
      break;
    }
    case 3:
      FireTriggerOutbuffFree();
      break;
    case 4:
      FireTriggerOutbuffUsed();
      break;
    case 5:
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
    if (dispatcher_->ThreadsStarted || notifyDepth_ > 1) {
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

// -------------------------------------------------------------- properties

void TApdCustomComPort::SetDeviceLayer(TDeviceLayer v) {
  // Only layers this platform supports, and only while closed.
  if (phase_ != ppClosed || v != dlWin32)
    return;
  deviceLayer_ = v;
  LayerSwitched();
}

void TApdCustomComPort::SetComNumber(int v) {
  if (v == comNumber_)
    return;
  const bool wasOpen = phase_ == ppOpen;
  TTraceLogState tr = tracing_, lg = logging_;
  if (wasOpen) {
    dispatcher_->SaveTriggerSet(*savedTriggers_);
    SetOpen(false);
  }
  comNumber_ = v;
  if (wasOpen) {
    SetTracing(tr);
    SetLogging(lg);
    SetOpen(true);
    if (TApdBaseDispatcher *d = ActiveDispatcher())
      d->RestoreTriggerSet(*savedTriggers_);
  }
}

void TApdCustomComPort::SetBaud(int32_t v) {
  if (v == baud_)
    return;
  baud_ = v;
  if (phase_ == ppOpen)
    CheckResult(dispatcher_->ApplyLineFormat(baud_, uint8_t(parity_), uint8_t(dataBits_), uint8_t(stopBits_)));
}

void TApdCustomComPort::SetParity(TParity v) {
  if (v == parity_)
    return;
  parity_ = v;
  if (phase_ == ppOpen)
    CheckResult(dispatcher_->ApplyLineFormat(baud_, uint8_t(parity_), uint8_t(dataBits_), uint8_t(stopBits_)));
}

void TApdCustomComPort::SetDataBits(uint16_t v) {
  if (v == dataBits_)
    return;
  dataBits_ = v;
  if (phase_ == ppOpen)
    CheckResult(dispatcher_->ApplyLineFormat(baud_, uint8_t(parity_), uint8_t(dataBits_), uint8_t(stopBits_)));
}

void TApdCustomComPort::SetStopBits(uint16_t v) {
  if (v == stopBits_)
    return;
  stopBits_ = v;
  if (phase_ == ppOpen)
    CheckResult(dispatcher_->ApplyLineFormat(baud_, uint8_t(parity_), uint8_t(dataBits_), uint8_t(stopBits_)));
}

void TApdCustomComPort::SetInSize(uint16_t v) {
  if (v == inSize_)
    return;
  inSize_ = v;
  if (phase_ == ppOpen)
    dispatcher_->SizeDeviceQueues(inSize_, outSize_);
}

void TApdCustomComPort::SetOutSize(uint16_t v) {
  if (v == outSize_)
    return;
  outSize_ = v;
  if (phase_ == ppOpen)
    dispatcher_->SizeDeviceQueues(inSize_, outSize_);
}

void TApdCustomComPort::SetHWFlowOptions(THWFlowOptionSet v) {
  if (v == hwFlow_ && !reapplyAll_)
    return;
  uint32_t bits = (v.Contains(hwfUseDTR) ? 1 : 0) | (v.Contains(hwfUseRTS) ? 2 : 0) |
                  (v.Contains(hwfRequireDSR) ? 4 : 0) | (v.Contains(hwfRequireCTS) ? 8 : 0);
  if (bits != 0) {
    if (bufferFull_ == 0 || bufferFull_ > inSize_)
      bufferFull_ = uint16_t(Trunc(inSize_ * 0.9));
    if (bufferResume_ == 0 || bufferResume_ > bufferFull_)
      bufferResume_ = uint16_t(Trunc(inSize_ * 0.1));
  }
  if (phase_ == ppOpen)
    CheckResult(dispatcher_->SetHardwareFlow(bufferFull_, bufferResume_, bits));
  hwFlow_ = v;
  if (v.Contains(hwfUseRTS) || v.Contains(hwfRequireCTS))
    SetRS485Mode(false);
}

void TApdCustomComPort::SetSWFlowOptions(TSWFlowOptions v) {
  if (v == swFlow_ && !reapplyAll_)
    return;
  uint32_t bits = 0;
  switch (v) {
  case swfNone:
    bits = 0;
    break;
  case swfReceive:
    bits = 2;
    break;
  case swfTransmit:
    bits = 1;
    break;
  case swfBoth:
    bits = 3;
    break;
  }
  if (bits != 0) {
    if (bufferFull_ == 0 || bufferFull_ > inSize_)
      bufferFull_ = uint16_t(Trunc(inSize_ * 0.75));
    if (bufferResume_ == 0 || bufferResume_ > bufferFull_)
      bufferResume_ = uint16_t(Trunc(inSize_ * 0.25));
  }
  if (phase_ == ppOpen) {
    if (bits != 0)
      CheckResult(dispatcher_->EnableSoftwareFlow(bufferFull_, bufferResume_, bits));
    else
      CheckResult(dispatcher_->DisableSoftwareFlow());
  }
  swFlow_ = v;
}

void TApdCustomComPort::SetXOnChar(char v) {
  if (v == xOn_ && !reapplyAll_)
    return;
  xOn_ = v;
  if (phase_ == ppOpen)
    CheckResult(dispatcher_->SetFlowCharacters(uint8_t(xOn_), uint8_t(xOff_)));
}

void TApdCustomComPort::SetXOffChar(char v) {
  if (v == xOff_ && !reapplyAll_)
    return;
  xOff_ = v;
  if (phase_ == ppOpen)
    CheckResult(dispatcher_->SetFlowCharacters(uint8_t(xOn_), uint8_t(xOff_)));
}

void TApdCustomComPort::ReapplyFlow() {
  FlagScope all(reapplyAll_, true);
  SetHWFlowOptions(hwFlow_);
  SetSWFlowOptions(swFlow_);
}

void TApdCustomComPort::SetBufferFull(uint16_t v) {
  if (v == bufferFull_ && !reapplyAll_)
    return;
  bufferFull_ = v > inSize_ ? uint16_t(Trunc(v * 0.9)) : v;
  ReapplyFlow();
}

void TApdCustomComPort::SetBufferResume(uint16_t v) {
  if (v == bufferResume_ && !reapplyAll_)
    return;
  bufferResume_ = v > bufferFull_ ? uint16_t(Trunc(bufferFull_ * 0.1)) : v;
  ReapplyFlow();
}

void TApdCustomComPort::SetDTR(bool v) {
  if (v == dtr_ && !reapplyAll_)
    return;
  if (phase_ == ppOpen) {
    // 1: the line belongs to hardware flow control; the old value stays.
    if (CheckResult(dispatcher_->DriveDtr(v)) == 0)
      dtr_ = v;
  } else {
    dtr_ = v;
  }
}

void TApdCustomComPort::SetRTS(bool v) {
  if (v == rts_ && !reapplyAll_)
    return;
  if (phase_ == ppOpen) {
    if (CheckResult(dispatcher_->DriveRts(v)) == 0)
      rts_ = v;
  } else {
    rts_ = v;
  }
}

void TApdCustomComPort::SetRS485Mode(bool v) {
  if (v == rs485Mode_ && !reapplyAll_)
    return;
  rs485Mode_ = v;
  if (phase_ == ppOpen)
    dispatcher_->SetRs485(v);
  if (v) {
    // RS-485 direction control and RTS/CTS flow control exclude each other.
    SetHWFlowOptions(hwFlow_.Without({hwfUseRTS, hwfRequireCTS}));
    SetRTS(false);
  }
}

void TApdCustomComPort::SetUseEventWord(bool v) {
  if (v == useEventWord_ && !reapplyAll_)
    return;
  useEventWord_ = v;
  if (phase_ == ppOpen) {
    if (v)
      dispatcher_->SetOptionBits(4);
    else
      dispatcher_->ClearOptionBits(4);
  }
}

void TApdCustomComPort::SetAvailThreshold(uint16_t v) {
  bool changed = v != availThreshold_;
  availThreshold_ = v;
  if (phase_ == ppOpen && (changed || reapplyAll_))
    dispatcher_->SetAvailThreshold(v);
}

void TApdCustomComPort::SetThreadBoostLevel(uint8_t v) {
  bool changed = v != threadBoostLevel_;
  threadBoostLevel_ = v;
  if (phase_ == ppOpen && (changed || reapplyAll_))
    dispatcher_->ApplyThreadBoost(v);
}

// ------------------------------------------------------- trace and log

void TApdCustomComPort::SetTracing(TTraceLogState v) {
  if (v == tracing_ && !reapplyAll_)
    return;
  if (phase_ != ppOpen) {
    tracing_ = (v == tlOff || v == tlOn) ? v : tlOff;
    return;
  }
  ApplyTrace(v);
}

void TApdCustomComPort::ApplyTrace(TTraceLogState v) {
  TApdBaseDispatcher &d = *dispatcher_;
  const bool on = tracing_ == tlOn, paused = tracing_ == tlPause;
  switch (v) {
  case tlOff:
    if (on || paused) {
      d.DropByteTrace();
      tracing_ = tlOff;
    }
    break;
  case tlOn:
    if (paused) {
      d.ResumeByteTrace();
      tracing_ = tlOn;
    } else {
      CheckResult(d.BeginByteTrace(traceSize_));
      tracing_ = tlOn;
    }
    break;
  case tlDump:
  case tlAppend:
    if (on || paused) {
      d.ResumeByteTrace();
      // The dump ends the trace whether or not the file could be written.
      tracing_ = tlOff;
      if (v == tlDump)
        CheckResult(d.SaveTraceFile(traceName_, traceHex_, traceAllHex_));
      else
        CheckResult(d.AppendTraceFile(traceName_, traceHex_, traceAllHex_));
    }
    break;
  case tlClear:
    if (on || paused)
      CheckResult(d.EmptyByteTrace());
    break;
  case tlPause:
    if (on) {
      d.PauseByteTrace();
      tracing_ = tlPause;
    }
    break;
  case tlAppendAndContinue:
    if (on || paused) {
      d.ResumeByteTrace();
      tracing_ = tlOn;
      CheckResult(d.AppendTraceFile(traceName_, traceHex_, traceAllHex_));
    }
    break;
  }
}

void TApdCustomComPort::SetTraceSize(uint32_t v) {
  traceSize_ = std::min(v, kMaxTraceSize);
  if (phase_ == ppOpen && (tracing_ == tlOn || tracing_ == tlPause)) {
    TTraceLogState prev = tracing_;
    dispatcher_->DropByteTrace();
    tracing_ = tlOff;
    SetTracing(prev);
  }
}

void TApdCustomComPort::SetLogging(TTraceLogState v) {
  if (v == logging_ && !reapplyAll_)
    return;
  if (phase_ != ppOpen) {
    logging_ = (v == tlOff || v == tlOn) ? v : tlOff;
    return;
  }
  ApplyLog(v);
}

void TApdCustomComPort::ApplyLog(TTraceLogState v) {
  TApdBaseDispatcher &d = *dispatcher_;
  const bool on = logging_ == tlOn, paused = logging_ == tlPause;
  switch (v) {
  case tlOff:
    if (on || paused) {
      d.DropEventLog();
      logging_ = tlOff;
    }
    break;
  case tlOn:
    if (paused)
      d.ResumeEventLog();
    else
      d.BeginEventLog(logSize_);
    logging_ = tlOn;
    break;
  case tlDump:
  case tlAppend:
    if (on || paused) {
      d.ResumeEventLog();
      logging_ = tlOff;
      if (v == tlDump)
        CheckResult(d.SaveLogFile(logName_, logHex_, logAllHex_));
      else
        CheckResult(d.AppendLogFile(logName_, logHex_, logAllHex_));
    }
    break;
  case tlClear:
    if (on || paused)
      d.EmptyEventLog();
    break;
  case tlPause:
    if (on) {
      d.PauseEventLog();
      logging_ = tlPause;
    }
    break;
  case tlAppendAndContinue:
    if (on || paused) {
      d.ResumeEventLog();
      logging_ = tlOn;
      CheckResult(d.AppendLogFile(logName_, logHex_, logAllHex_));
    }
    break;
  }
}

void TApdCustomComPort::SetLogSize(uint32_t v) {
  logSize_ = std::min(v, kMaxLogSize);
  if (phase_ == ppOpen && (logging_ == tlOn || logging_ == tlPause)) {
    TTraceLogState prev = logging_;
    dispatcher_->DropEventLog();
    logging_ = tlOff;
    SetLogging(prev);
  }
}
