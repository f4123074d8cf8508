#pragma once
// Serial devices: exclusive open by port name, the device control block in
// both directions, modem lines, purge, line errors and the comm-event wait.
// Every failure is a platform error number (PlatformErrors.h), never errno.
#include "platform/Sync.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <string>

namespace platform {

// TDeviceControl::Parity
constexpr uint8_t parityNone = 0;
constexpr uint8_t parityOdd = 1;
constexpr uint8_t parityEven = 2;
constexpr uint8_t parityMark = 3;
constexpr uint8_t paritySpace = 4;

// TDeviceControl::StopBits
constexpr uint8_t stopBitsOne = 0;
constexpr uint8_t stopBitsOneAndHalf = 1;
constexpr uint8_t stopBitsTwo = 2;

// The usual flow characters.
constexpr uint8_t kXonChar = 0x11;
constexpr uint8_t kXoffChar = 0x13;

// The device control block: line settings as the dispatcher keeps them.
struct TDeviceControl {
  uint32_t BaudRate = 0;
  uint32_t Flags = 0;
  uint16_t XonLim = 0;
  uint16_t XoffLim = 0;
  uint8_t ByteSize = 8;
  uint8_t Parity = parityNone;
  uint8_t StopBits = stopBitsOne;
  uint8_t XonChar = kXonChar;
  uint8_t XoffChar = kXoffChar;
};

// TDeviceControl::Flags
constexpr uint32_t dcbBinary = 0x0001;
constexpr uint32_t dcbParityCheck = 0x0002;
constexpr uint32_t dcbOutxCtsFlow = 0x0004;
constexpr uint32_t dcbOutxDsrFlow = 0x0008;
constexpr uint32_t dcbDtrControlMask = 0x0030;
constexpr uint32_t dcbDtrControlEnable = 0x0010;
constexpr uint32_t dcbDtrControlHandshake = 0x0020;
constexpr uint32_t dcbDsrSensitivity = 0x0040;
constexpr uint32_t dcbTxContinueOnXoff = 0x0080;
constexpr uint32_t dcbOutX = 0x0100;
constexpr uint32_t dcbInX = 0x0200;
constexpr uint32_t dcbNull = 0x0800;
constexpr uint32_t dcbRtsControlMask = 0x3000;
constexpr uint32_t dcbRtsControlEnable = 0x1000;
constexpr uint32_t dcbRtsControlHandshake = 0x2000;
constexpr uint32_t dcbRtsControlToggle = 0x3000;

// Comm events.
constexpr uint32_t evRxChar = 0x0001;
constexpr uint32_t evCts = 0x0008;
constexpr uint32_t evDsr = 0x0010;
constexpr uint32_t evRlsd = 0x0020;
constexpr uint32_t evBreak = 0x0040;
constexpr uint32_t evErr = 0x0080;
constexpr uint32_t evRing = 0x0100;
constexpr uint32_t evRingTe = 0x2000;

// Line error bits.
constexpr uint32_t ceRxOver = 0x01;
constexpr uint32_t ceOverrun = 0x02;
constexpr uint32_t ceRxParity = 0x04;
constexpr uint32_t ceFrame = 0x08;
constexpr uint32_t ceBreak = 0x10;

// Modem status bits.
constexpr uint32_t msCtsOn = 0x10;
constexpr uint32_t msDsrOn = 0x20;
constexpr uint32_t msRingOn = 0x40;
constexpr uint32_t msRlsdOn = 0x80;

// Escape functions.
constexpr uint32_t escSetRts = 3;
constexpr uint32_t escClrRts = 4;
constexpr uint32_t escSetDtr = 5;
constexpr uint32_t escClrDtr = 6;
constexpr uint32_t escSetBreak = 8;
constexpr uint32_t escClrBreak = 9;
constexpr uint32_t escGetBaseAddress = 10;

// Purge flags.
constexpr uint32_t purgeTxAbort = 0x0001;
constexpr uint32_t purgeRxAbort = 0x0002;
constexpr uint32_t purgeTxClear = 0x0004;
constexpr uint32_t purgeRxClear = 0x0008;

struct TComStat {
  uint32_t Flags = 0;
  uint32_t InQue = 0;  // bytes waiting in the device
  uint32_t OutQue = 0; // bytes in the device's transmit path
};

// The directory whose COMn entries name devices. Recorded from the current
// directory at first use unless the application sets it at start.
void SetStartDirectory(const std::string &dir);
std::string StartDirectory();

// "\\.\COMn" -> the entry COMn of the start directory when present, else
// /dev/ttyS<n-1>. A name starting with '/' is taken as a path. Empty when
// the name maps to nothing (port 0, malformed).
std::string ResolveDeviceName(const std::string &name);
// The device name of port number n: "\\.\COMn".
std::string PortDeviceName(int number);

enum class IoStatus { Ok, WouldBlock, Lost, Closed, Failed };
struct IoResult {
  IoStatus Status = IoStatus::Ok;
  size_t Count = 0;
  uint32_t Error = 0; // platform number for Failed
};

enum class WaitStatus { Ready, Event, TimedOut, Lost, Failed };
struct WaitOutcome {
  WaitStatus Status = WaitStatus::TimedOut;
  int EventIndex = -1; // for Event: index into the events passed
  uint32_t Error = 0;
};

class TSerialDevice {
public:
  TSerialDevice() = default;
  ~TSerialDevice();
  TSerialDevice(const TSerialDevice &) = delete;
  TSerialDevice &operator=(const TSerialDevice &) = delete;

  // Exclusive open (flock + TIOCEXCL), raw mode. 0 or a platform number:
  // 2/3 missing, 5 busy, 13 no permission, 21 an empty legacy UART slot.
  uint32_t Open(const std::string &name);
  // Drops unsent output first so a stalled line cannot hold the close.
  // True when the descriptor was closed (or none was open).
  bool Close();
  bool IsOpen() const { return fd_.load() >= 0; }
  int Descriptor() const { return fd_.load(); }

  uint32_t GetState(TDeviceControl &dcb);
  uint32_t SetState(const TDeviceControl &dcb);
  // Queue sizes are advisory on this platform: remembered only.
  uint32_t SetupQueues(uint32_t inSize, uint32_t outSize);

  // Succeeds without effect for modem-line functions on a device that has
  // no modem lines. value receives the base address for escGetBaseAddress.
  uint32_t Escape(uint32_t function, uint32_t *value = nullptr);
  // Modem status bits (msCtsOn..msRlsdOn); 0 on a device without lines.
  uint32_t GetModemStatus(uint32_t &status);
  bool HasModemLines() const { return hasModemLines_; }

  uint32_t Purge(uint32_t flags);
  // Takes the line error bits gathered by the comm-event wait (never asks
  // the driver for them) and, when stat is given, asks the device for its
  // queue counts.
  uint32_t ClearErrors(uint32_t &errors, TComStat *stat);
  // Bytes the driver still has to send (0 where it cannot tell).
  uint32_t OutputQueued();
  // True when the transmitter has sent its last bit (or cannot tell).
  bool TransmitterEmpty();

  // Non-blocking transfers.
  IoResult Read(void *buffer, size_t size);
  IoResult Write(const void *buffer, size_t size);
  // Waits until the device can take more output or an event is set.
  WaitOutcome WaitWritable(std::initializer_list<TEvent *> events, uint32_t timeoutMs);

  // The comm-event wait. Reports evRxChar once per arrival: after a report
  // it watches rxRearm (set by whoever drains the input) instead of the
  // input, so unread input cannot keep it spinning. Modem and line events
  // come from sampling the lines and the driver's error counters, which is
  // done only while WatchLines is on (every kLineSampleMs at most); with it
  // off, and sliceMs kInfinite, the wait costs nothing until the device or
  // an event wakes it. Ready with events, Event when stop was set, TimedOut
  // after a quiet slice (or when the watch was switched), Lost on hang-up.
  void SetCommMask(uint32_t mask);
  uint32_t CommMask() const { return commMask_.load(); }
  WaitOutcome WaitCommEvent(uint32_t &events, TEvent *stop, TEvent *rxRearm, uint32_t sliceMs);
  // Sampling of modem lines and error counters for the comm-event wait;
  // switching it wakes a wait in progress. Unwatched, the counters are read
  // only when input arrives, where line errors come from.
  void WatchLines(bool on);
  bool WatchingLines() const { return watchLines_.load(); }
  // True when the device has modem lines or error counters to sample.
  bool HasLineEvents() const { return hasModemLines_ || hasCounters_; }

  // Hardware RS-485 direction control. False when the driver lacks it.
  bool SetRs485(bool on);

  static constexpr uint32_t kLineSampleMs = 50;

private:
  void SampleLines(uint32_t &events);
  // Error bits of the counters' growth since they were last taken; call
  // with errorsLock_ held.
  uint32_t TakeCounterErrorsLocked();

  std::atomic<int> fd_{-1};
  bool hasModemLines_ = false;
  bool hasCounters_ = false;
  uint32_t inSize_ = 0;
  uint32_t outSize_ = 0;
  std::atomic<uint32_t> commMask_{0};
  bool rxPending_ = false;
  uint32_t lastModem_ = 0;
  std::atomic<bool> watchLines_{false};
  TEvent watchSwitched_;
  std::mutex errorsLock_;
  int lastCounts_[5] = {0, 0, 0, 0, 0}; // frame, parity, overrun, buf overrun, break (errorsLock_)
  uint32_t errors_ = 0;                 // errorsLock_
};

} // namespace platform
