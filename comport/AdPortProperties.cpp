// The port component's properties: each setter stores its value and, while
// the port is open, applies it to the dispatcher at once; the trace and log
// states and their dumps.
#include "comport/AdPort.h"

#include <algorithm>

#include "errors/AdExcept.h"
#include "runtime/SysUtils.h"

namespace {

// Flow control marks when none were set: shares of the receive queue.
constexpr double kHwFlowFullShare = 0.9;
constexpr double kHwFlowResumeShare = 0.1;
constexpr double kSwFlowFullShare = 0.75;
constexpr double kSwFlowResumeShare = 0.25;
// A mark set beyond what it may be is cut to this share of it.
constexpr double kOversizeFullShare = 0.9;
constexpr double kOversizeResumeShare = 0.1;
constexpr uint32_t kMaxLogSize = 16000000;

} // namespace

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
  uint32_t bits = (v.Contains(hwfUseDTR) ? hfUseDtr : 0) | (v.Contains(hwfUseRTS) ? hfUseRts : 0) |
                  (v.Contains(hwfRequireDSR) ? hfRequireDsr : 0) | (v.Contains(hwfRequireCTS) ? hfRequireCts : 0);
  if (bits != 0) {
    if (bufferFull_ == 0 || bufferFull_ > inSize_)
      bufferFull_ = uint16_t(Trunc(inSize_ * kHwFlowFullShare));
    if (bufferResume_ == 0 || bufferResume_ > bufferFull_)
      bufferResume_ = uint16_t(Trunc(inSize_ * kHwFlowResumeShare));
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
    bits = sfReceive;
    break;
  case swfTransmit:
    bits = sfTransmit;
    break;
  case swfBoth:
    bits = sfReceive | sfTransmit;
    break;
  }
  if (bits != 0) {
    if (bufferFull_ == 0 || bufferFull_ > inSize_)
      bufferFull_ = uint16_t(Trunc(inSize_ * kSwFlowFullShare));
    if (bufferResume_ == 0 || bufferResume_ > bufferFull_)
      bufferResume_ = uint16_t(Trunc(inSize_ * kSwFlowResumeShare));
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
  bufferFull_ = v > inSize_ ? uint16_t(Trunc(v * kOversizeFullShare)) : v;
  ReapplyFlow();
}

void TApdCustomComPort::SetBufferResume(uint16_t v) {
  if (v == bufferResume_ && !reapplyAll_)
    return;
  bufferResume_ = v > bufferFull_ ? uint16_t(Trunc(bufferFull_ * kOversizeResumeShare)) : v;
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
      dispatcher_->SetOptionBits(obUseEventWord);
    else
      dispatcher_->ClearOptionBits(obUseEventWord);
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
  traceSize_ = std::min(v, MaxTraceCapacity);
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
