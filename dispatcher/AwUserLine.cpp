// Line settings and flow control: the device control block the dispatcher
// keeps, written with the modem lines whenever the component changes the
// rate, the character format, DTR/RTS, flow control or RS-485; the pause
// that lets pending output leave before a format change; thread priorities.
#include "dispatcher/AwUser.h"

using platform::TDeviceControl;
using Guard = std::lock_guard<platform::TCriticalSection>;

namespace {

// The format change pause: 18 character times, counted in 0.1 us units.
constexpr uint64_t kTenthsOfMicrosPerSecond = 10000000;
constexpr uint64_t kTenthsOfMicrosPerMs = 10000;
constexpr uint64_t kPauseCharacterTimes = 18;
// Start and stop bit around every character.
constexpr uint64_t kFramingBits = 2;
// Output still queued is polled this often, this many times at most.
constexpr uint32_t kDrainPollMs = 2;
constexpr int kDrainPolls = 5000;
// The writer runs one level above the other threads while RS-485 is on.
constexpr int kRs485WriterLift = 1;

} // namespace

uint32_t TApdBaseDispatcher::TranslateRate(uint32_t rate) {
  switch (rate) {
  case 0xFEFF:
    return 115200;
  case 0xFF10:
    return 110;
  case 0xFF11:
    return 300;
  case 0xFF12:
    return 600;
  case 0xFF13:
    return 1200;
  case 0xFF14:
    return 2400;
  case 0xFF15:
    return 4800;
  case 0xFF16:
    return 9600;
  case 0xFF17:
    return 14400;
  case 0xFF18:
    return 19200;
  case 0xFF1B:
    return 38400;
  case 0xFF1F:
    return 56000;
  case 0xFF23:
    return 128000;
  case 0xFF27:
    return 256000;
  default:
    return rate;
  }
}

uint32_t TApdBaseDispatcher::FormatChangePauseMs(const TDeviceControl &dcb) {
  uint32_t rate = TranslateRate(dcb.BaudRate);
  if (rate == 0)
    return 0;
  uint64_t bits = uint64_t(dcb.ByteSize) + kFramingBits + (dcb.Parity != platform::parityNone ? 1 : 0) +
                  (dcb.StopBits != platform::stopBitsOne ? 1 : 0);
  uint64_t t = (kTenthsOfMicrosPerSecond / rate) * bits * kPauseCharacterTimes;
  if (t < kTenthsOfMicrosPerMs)
    t *= 2;
  return uint32_t((t + kTenthsOfMicrosPerMs - 1) / kTenthsOfMicrosPerMs);
}

void TApdBaseDispatcher::WaitForLineDrain() {
  for (int i = 0; i < kDrainPolls && TransmitUsed() > 0; ++i)
    platform::SleepMs(kDrainPollMs);
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

int32_t TApdBaseDispatcher::ApplyLineFormat(int32_t rate, uint8_t parity, uint8_t dataBits, uint8_t stopBits) {
  using namespace platform;
  TDeviceControl wanted;
  {
    Guard s(StateLock);
    ReadDeviceState(DeviceControl);
    wanted = DeviceControl;
  }
  wanted.Flags |= dcbBinary | dcbTxContinueOnXoff;
  wanted.Flags &= ~(dcbParityCheck | dcbDsrSensitivity | dcbNull);
  // The stop-bits argument counts bits: 1 or 2 (0 is taken as 1, 4 and
  // above as 2); five data bits always go with one and a half.
  if (stopBits == 0)
    stopBits = 1;
  else if (stopBits > lfKeepStopBits)
    stopBits = 2;
  if (rate != 0)
    wanted.BaudRate = uint32_t(rate);
  if (parity != lfKeepParity)
    wanted.Parity = parity;
  if (dataBits != lfKeepDataBits)
    wanted.ByteSize = dataBits;
  if (dataBits == 5)
    wanted.StopBits = platform::stopBitsOneAndHalf;
  else if (stopBits != lfKeepStopBits) {
    wanted.StopBits = stopBits == 1 ? platform::stopBitsOne : platform::stopBitsTwo;
    if (wanted.ByteSize == 5)
      wanted.StopBits = platform::stopBitsOneAndHalf;
  }
  {
    Guard s(StateLock);
    const TDeviceControl &cur = DeviceControl;
    if (cur.BaudRate == wanted.BaudRate && cur.Parity == wanted.Parity && cur.ByteSize == wanted.ByteSize &&
        cur.StopBits == wanted.StopBits && cur.Flags == wanted.Flags)
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

void TApdBaseDispatcher::ReadLineFormat(int32_t &rate, uint8_t &parity, uint8_t &dataBits, uint8_t &stopBits) {
  Guard s(StateLock);
  ReadDeviceState(DeviceControl);
  rate = int32_t(TranslateRate(DeviceControl.BaudRate));
  parity = DeviceControl.Parity;
  dataBits = DeviceControl.ByteSize;
  stopBits = DeviceControl.StopBits == platform::stopBitsTwo ? 2 : 1;
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

int32_t TApdBaseDispatcher::SetHardwareFlow(uint32_t bufferFull, uint32_t bufferResume, uint32_t options) {
  using namespace platform;
  if (bufferFull < bufferResume || bufferFull > DeviceInSize)
    return ecBadArgument;
  Guard s(StateLock);
  ReadDeviceState(DeviceControl);
  uint32_t f = DeviceControl.Flags;
  f &= ~(dcbOutxCtsFlow | dcbOutxDsrFlow | dcbDtrControlMask | dcbRtsControlMask);
  DtrByFlow = RtsByFlow = false;
  if (options & hfUseDtr) {
    f |= dcbDtrControlHandshake;
    DtrByFlow = true;
  } else if (DtrOn) {
    f |= dcbDtrControlEnable;
  }
  if (options & hfUseRts) {
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
  if (options & hfRequireDsr)
    f |= dcbOutxDsrFlow;
  if (options & hfRequireCts)
    f |= dcbOutxCtsFlow;
  DeviceControl.Flags = f;
  return WriteStateWithLines(DeviceControl);
}

int32_t TApdBaseDispatcher::EnableSoftwareFlow(uint32_t bufferFull, uint32_t bufferResume, uint32_t options) {
  using namespace platform;
  if (bufferFull < bufferResume || bufferFull > DeviceInSize)
    return ecBadArgument;
  Guard s(StateLock);
  ReadDeviceState(DeviceControl);
  if (options & sfReceive) {
    DeviceControl.Flags |= dcbInX;
    DeviceControl.XoffLim = uint16_t(uint16_t(DeviceInSize) - bufferFull);
    DeviceControl.XonLim = uint16_t(bufferResume);
    DeviceControl.XonChar = kXonChar;
    DeviceControl.XoffChar = kXoffChar;
  }
  if (options & sfTransmit) {
    DeviceControl.Flags |= dcbOutX;
    DeviceControl.XonChar = kXonChar;
    DeviceControl.XoffChar = kXoffChar;
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

int32_t TApdBaseDispatcher::ReadFlowOptions(uint32_t &hwOptions, uint32_t &swOptions, uint8_t &xonChar,
                                            uint8_t &xoffChar) {
  using namespace platform;
  Guard s(StateLock);
  int32_t r = ReadDeviceState(DeviceControl);
  uint32_t f = DeviceControl.Flags;
  hwOptions = 0;
  if ((f & dcbDtrControlMask) == dcbDtrControlHandshake)
    hwOptions |= hfUseDtr;
  if ((f & dcbRtsControlMask) == dcbRtsControlHandshake)
    hwOptions |= hfUseRts;
  if (f & dcbOutxDsrFlow)
    hwOptions |= hfRequireDsr;
  if (f & dcbOutxCtsFlow)
    hwOptions |= hfRequireCts;
  swOptions = 0;
  if (f & dcbInX)
    swOptions |= sfReceive;
  if (f & dcbOutX)
    swOptions |= sfTransmit;
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
    platform::SetThreadPriority(writer, ThreadLevel(TThreadKind::Write, ThreadBoostLevel, on));
}

int TApdBaseDispatcher::ThreadLevel(TThreadKind kind, uint8_t boost, bool rs485) {
  bool lifted = kind == TThreadKind::Write && rs485;
  return boost + platform::kPriorityNormal + (lifted ? kRs485WriterLift : 0);
}

void TApdBaseDispatcher::ApplyThreadBoost(uint8_t boost) {
  Guard s(StateLock);
  if (boost == ThreadBoostLevel)
    return;
  ThreadBoostLevel = boost;
  for (int k = 0; k < ThreadKindCount; ++k) {
    int64_t id = ThreadIds[k].load();
    if (id)
      platform::SetThreadPriority(id, ThreadLevel(TThreadKind(k), boost, Rs485Active.load()));
  }
}
