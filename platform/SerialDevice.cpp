#include "platform/SerialDevice.h"

#include "platform/PlatformErrors.h"
#include "platform/SerialNodes.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <vector>

namespace platform {

namespace detail {
int GetLineRate(int fd, uint32_t &rate);
// The termios flags and characters with the rate, in one call, none when unchanged.
int SetLineState(int fd, uint32_t iflag, uint32_t oflag, uint32_t cflag, uint32_t lflag, const uint8_t *cc,
                 size_t ccCount, uint32_t rate);
} // namespace detail

namespace {

std::mutex g_dirLock;
std::string g_startDir;

bool Unsupported(int err) { return err == ENOTTY || err == EINVAL; }

bool LostErrno(int err) { return err == EIO || err == ENXIO || err == ENODEV; }

uint32_t ModemStatusOf(int bits) {
  uint32_t status = 0;
  if (bits & TIOCM_CTS)
    status |= msCtsOn;
  if (bits & TIOCM_DSR)
    status |= msDsrOn;
  if (bits & TIOCM_RI)
    status |= msRingOn;
  if (bits & TIOCM_CD)
    status |= msRlsdOn;
  return status;
}

int Ioctl(int fd, unsigned long req, void *arg) {
  int r;
  do {
    r = ioctl(fd, req, arg);
  } while (r < 0 && errno == EINTR);
  return r;
}

} // namespace

void SetStartDirectory(const std::string &dir) {
  std::lock_guard<std::mutex> g(g_dirLock);
  g_startDir = dir;
}

std::string StartDirectory() {
  std::lock_guard<std::mutex> g(g_dirLock);
  if (g_startDir.empty()) {
    std::error_code ec;
    g_startDir = std::filesystem::current_path(ec).string();
  }
  return g_startDir;
}

namespace {
constexpr std::string_view kPortNamePrefix = "\\\\.\\COM";
} // namespace

std::string PortDeviceName(int number) { return std::string(kPortNamePrefix) + std::to_string(number); }

std::string ResolveDeviceName(const std::string &name) {
  if (!name.empty() && name[0] == '/')
    return name;
  const std::string prefix(kPortNamePrefix);
  std::string rest;
  if (name.compare(0, prefix.size(), prefix) == 0)
    rest = name.substr(prefix.size());
  else if (name.compare(0, 3, "COM") == 0)
    rest = name.substr(3);
  else
    return {};
  if (rest.empty() || rest.size() > 3)
    return {};
  int n = 0;
  for (char c : rest) {
    if (c < '0' || c > '9')
      return {};
    n = n * 10 + (c - '0');
  }
  if (n < 1)
    return {};
  std::string entry = StartDirectory() + "/COM" + std::to_string(n);
  struct stat st {};
  if (lstat(entry.c_str(), &st) == 0)
    return entry;
  return "/dev/ttyS" + std::to_string(n - 1);
}

TSerialDevice::~TSerialDevice() { Close(); }

uint32_t TSerialDevice::Open(const std::string &name) {
  if (IsOpen())
    return kErrAccessDenied;
  std::string path = ResolveDeviceName(name);
  if (path.empty())
    return kErrFileNotFound;
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    // The kernel answers an empty legacy UART slot with EIO; say what it is.
    const int err = errno;
    if (err == EIO && IsEmptyUartSlot(TtyNameOfPath(path)))
      return kErrNoUart;
    return TranslateErrno(err);
  }
  auto fail = [fd](uint32_t code) {
    close(fd);
    return code;
  };
  // A USB adapter answers TIOCGSERIAL with type 0 too, as it has no UART
  // chip: only sysfs tells an empty legacy slot from a working device. Such
  // a slot opens, but every call on it fails with EIO, so look first.
  struct stat st {};
  std::string tty = fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) ? TtyNameOfDevice(st.st_rdev) : std::string();
  if (tty.empty())
    tty = TtyNameOfPath(path);
  if (IsEmptyUartSlot(tty))
    return fail(kErrNoUart);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0)
    return fail(errno == EWOULDBLOCK ? kErrAccessDenied : TranslateErrno(errno));
  termios t{};
  if (tcgetattr(fd, &t) != 0)
    return fail(errno == ENOTTY ? kErrFileNotFound : TranslateErrno(errno));
  if (Ioctl(fd, TIOCEXCL, nullptr) != 0 && !Unsupported(errno))
    return fail(TranslateErrno(errno));

  // Raw 8N1 with the receiver on until the control block says otherwise.
  cfmakeraw(&t);
  t.c_cflag |= CREAD | CLOCAL;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &t) != 0)
    return fail(TranslateErrno(errno));

  int bits = 0;
  hasModemLines_ = Ioctl(fd, TIOCMGET, &bits) == 0;
  serial_icounter_struct ic{};
  hasCounters_ = Ioctl(fd, TIOCGICOUNT, &ic) == 0;
  lastModem_ = 0;
  rxPending_ = false;
  {
    std::lock_guard<std::mutex> g(errorsLock_);
    if (hasCounters_) {
      lastCounts_[0] = ic.frame;
      lastCounts_[1] = ic.parity;
      lastCounts_[2] = ic.overrun;
      lastCounts_[3] = ic.buf_overrun;
      lastCounts_[4] = ic.brk;
    }
    errors_ = 0;
  }
  fd_.store(fd);
  lastModem_ = hasModemLines_ ? ModemStatusOf(bits) : 0;
  return 0;
}

bool TSerialDevice::Close() {
  int fd = fd_.exchange(-1);
  if (fd < 0)
    return true;
  // A line held by flow control would keep close() in the kernel's closing wait.
  tcflush(fd, TCOFLUSH);
  // A pty keeps its exclusive flag while the master lives; a later open by
  // a non-root user would find it busy.
  ioctl(fd, TIOCNXCL);
  return close(fd) == 0;
}

uint32_t TSerialDevice::GetState(TDeviceControl &dcb) {
  int fd = fd_.load();
  termios t{};
  if (tcgetattr(fd, &t) != 0)
    return TranslateErrno(errno);
  uint32_t rate = 0;
  if (int e = detail::GetLineRate(fd, rate))
    return TranslateErrno(e);
  dcb.BaudRate = rate;
  uint32_t f = dcb.Flags & (dcbDtrControlMask | dcbRtsControlMask | dcbTxContinueOnXoff | dcbDsrSensitivity | dcbNull |
                            dcbOutxDsrFlow);
  f |= dcbBinary;
  if (t.c_iflag & INPCK)
    f |= dcbParityCheck;
  // One termios flag stands for both CTS output flow and RTS handshake: the
  // device does both or neither, whichever of the two was asked for. While
  // it does, the block keeps the half that was asked for, so a reader is not
  // told of a handshake it never set; hardware flow that someone else put
  // on the line shows as both.
  if (t.c_cflag & CRTSCTS) {
    const bool ctsAsked = dcb.Flags & dcbOutxCtsFlow;
    const bool rtsAsked = (dcb.Flags & dcbRtsControlMask) == dcbRtsControlHandshake;
    if (ctsAsked || !rtsAsked)
      f |= dcbOutxCtsFlow;
    if (!ctsAsked && !rtsAsked && (f & dcbRtsControlMask) != dcbRtsControlToggle)
      f = (f & ~dcbRtsControlMask) | dcbRtsControlHandshake;
  } else {
    f &= ~dcbOutxCtsFlow;
    if ((f & dcbRtsControlMask) == dcbRtsControlHandshake)
      f &= ~dcbRtsControlMask;
  }
  if (t.c_iflag & IXON)
    f |= dcbOutX;
  if (t.c_iflag & IXOFF)
    f |= dcbInX;
  dcb.Flags = f;
  switch (t.c_cflag & CSIZE) {
  case CS5:
    dcb.ByteSize = 5;
    break;
  case CS6:
    dcb.ByteSize = 6;
    break;
  case CS7:
    dcb.ByteSize = 7;
    break;
  default:
    dcb.ByteSize = 8;
    break;
  }
  if (!(t.c_cflag & PARENB))
    dcb.Parity = parityNone;
  else if (t.c_cflag & CMSPAR)
    dcb.Parity = (t.c_cflag & PARODD) ? parityMark : paritySpace;
  else
    dcb.Parity = (t.c_cflag & PARODD) ? parityOdd : parityEven;
  if (!(t.c_cflag & CSTOPB))
    dcb.StopBits = stopBitsOne;
  else
    dcb.StopBits = dcb.ByteSize == 5 ? stopBitsOneAndHalf : stopBitsTwo;
  dcb.XonChar = t.c_cc[VSTART];
  dcb.XoffChar = t.c_cc[VSTOP];
  return 0;
}

uint32_t TSerialDevice::SetState(const TDeviceControl &dcb) {
  int fd = fd_.load();
  if (dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > paritySpace || dcb.StopBits > stopBitsTwo ||
      dcb.BaudRate == 0)
    return kErrInvalidParameter;
  termios t{};
  if (tcgetattr(fd, &t) != 0)
    return TranslateErrno(errno);
  cfmakeraw(&t);
  t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
  t.c_cflag |= CREAD | CLOCAL;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  t.c_cflag &= ~CSIZE;
  static const tcflag_t sizes[4] = {CS5, CS6, CS7, CS8};
  t.c_cflag |= sizes[dcb.ByteSize - 5];
  t.c_cflag &= ~(PARENB | PARODD | CMSPAR);
  switch (dcb.Parity) {
  case parityOdd:
    t.c_cflag |= PARENB | PARODD;
    break;
  case parityEven:
    t.c_cflag |= PARENB;
    break;
  case parityMark:
    t.c_cflag |= PARENB | CMSPAR | PARODD;
    break;
  case paritySpace:
    t.c_cflag |= PARENB | CMSPAR;
    break;
  default:
    break;
  }
  if (dcb.Flags & dcbParityCheck)
    t.c_iflag |= INPCK;
  // One and a half stop bits is CSTOPB with five data bits.
  if (dcb.StopBits == stopBitsOne)
    t.c_cflag &= ~CSTOPB;
  else
    t.c_cflag |= CSTOPB;
  bool rtsHandshake = (dcb.Flags & dcbRtsControlMask) == dcbRtsControlHandshake;
  if ((dcb.Flags & dcbOutxCtsFlow) || rtsHandshake)
    t.c_cflag |= CRTSCTS;
  else
    t.c_cflag &= ~CRTSCTS;
  if (dcb.Flags & dcbOutX)
    t.c_iflag |= IXON;
  if (dcb.Flags & dcbInX)
    t.c_iflag |= IXOFF;
  t.c_cc[VSTART] = dcb.XonChar;
  t.c_cc[VSTOP] = dcb.XoffChar;
  if (int e = detail::SetLineState(fd, t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag, t.c_cc, NCCS, dcb.BaudRate))
    return TranslateErrno(e);
  return 0;
}

uint32_t TSerialDevice::SetupQueues(uint32_t inSize, uint32_t outSize) {
  if (!IsOpen())
    return kErrInvalidHandle;
  inSize_ = inSize;
  outSize_ = outSize;
  return 0;
}

uint32_t TSerialDevice::Escape(uint32_t function, uint32_t *value) {
  int fd = fd_.load();
  if (fd < 0)
    return kErrInvalidHandle;
  if (value)
    *value = 0;
  int bit = 0;
  unsigned long req = 0;
  switch (function) {
  case escSetRts:
    bit = TIOCM_RTS;
    req = TIOCMBIS;
    break;
  case escClrRts:
    bit = TIOCM_RTS;
    req = TIOCMBIC;
    break;
  case escSetDtr:
    bit = TIOCM_DTR;
    req = TIOCMBIS;
    break;
  case escClrDtr:
    bit = TIOCM_DTR;
    req = TIOCMBIC;
    break;
  case escSetBreak:
    return Ioctl(fd, TIOCSBRK, nullptr) == 0 || Unsupported(errno) ? 0 : TranslateErrno(errno);
  case escClrBreak:
    return Ioctl(fd, TIOCCBRK, nullptr) == 0 || Unsupported(errno) ? 0 : TranslateErrno(errno);
  case escGetBaseAddress: {
    serial_struct ss{};
    if (Ioctl(fd, TIOCGSERIAL, &ss) == 0 && value)
      *value = uint32_t(ss.port);
    return 0;
  }
  default:
    return kErrInvalidParameter;
  }
  if (!hasModemLines_)
    return 0; // no modem lines: nothing to drive
  if (Ioctl(fd, req, &bit) != 0)
    return Unsupported(errno) ? 0 : TranslateErrno(errno);
  return 0;
}

uint32_t TSerialDevice::GetModemStatus(uint32_t &status) {
  status = 0;
  int fd = fd_.load();
  if (fd < 0)
    return kErrInvalidHandle;
  if (!hasModemLines_)
    return 0;
  int bits = 0;
  if (Ioctl(fd, TIOCMGET, &bits) != 0)
    return Unsupported(errno) ? 0 : TranslateErrno(errno);
  status = ModemStatusOf(bits);
  return 0;
}

uint32_t TSerialDevice::Purge(uint32_t flags) {
  int fd = fd_.load();
  if (fd < 0)
    return kErrInvalidHandle;
  if ((flags & (purgeTxAbort | purgeTxClear)) && tcflush(fd, TCOFLUSH) != 0)
    return TranslateErrno(errno);
  if ((flags & (purgeRxAbort | purgeRxClear)) && tcflush(fd, TCIFLUSH) != 0)
    return TranslateErrno(errno);
  return 0;
}

void TSerialDevice::SampleLines(uint32_t &events) {
  if (hasModemLines_) {
    uint32_t ms = 0;
    if (GetModemStatus(ms) == 0) {
      uint32_t changed = ms ^ lastModem_;
      if (changed & msCtsOn)
        events |= evCts;
      if (changed & msDsrOn)
        events |= evDsr;
      if (changed & msRlsdOn)
        events |= evRlsd;
      if ((changed & msRingOn) && (ms & msRingOn))
        events |= evRing;
      if ((changed & msRingOn) && !(ms & msRingOn))
        events |= evRingTe;
      lastModem_ = ms;
    }
  }
  if (hasCounters_) {
    uint32_t err;
    {
      std::lock_guard<std::mutex> g(errorsLock_);
      err = TakeCounterErrorsLocked();
      errors_ |= err;
    }
    if (err & ceBreak)
      events |= evBreak;
    if (err & ~ceBreak)
      events |= evErr;
  }
  events &= commMask_.load() | evRxChar;
}

uint32_t TSerialDevice::TakeCounterErrorsLocked() {
  serial_icounter_struct ic{};
  if (!hasCounters_ || Ioctl(fd_.load(), TIOCGICOUNT, &ic) != 0)
    return 0;
  int now[5] = {ic.frame, ic.parity, ic.overrun, ic.buf_overrun, ic.brk};
  static const uint32_t bit[5] = {ceFrame, ceRxParity, ceOverrun, ceRxOver, ceBreak};
  uint32_t err = 0;
  for (int i = 0; i < 5; ++i)
    if (now[i] != lastCounts_[i]) {
      err |= bit[i];
      lastCounts_[i] = now[i];
    }
  return err;
}

void TSerialDevice::WatchLines(bool on) {
  if (watchLines_.exchange(on) != on)
    watchSwitched_.Set();
}

uint32_t TSerialDevice::ClearErrors(uint32_t &errors, TComStat *stat) {
  int fd = fd_.load();
  errors = 0;
  if (fd < 0)
    return kErrInvalidHandle;
  {
    // Only what the comm-event wait took from the counters: the caller may
    // be the window's thread, and nothing here may wait on the driver.
    std::lock_guard<std::mutex> g(errorsLock_);
    errors = errors_;
    errors_ = 0;
  }
  if (stat) {
    int n = 0;
    stat->Flags = 0;
    stat->InQue = Ioctl(fd, FIONREAD, &n) == 0 && n > 0 ? uint32_t(n) : 0;
    n = 0;
    stat->OutQue = Ioctl(fd, TIOCOUTQ, &n) == 0 && n > 0 ? uint32_t(n) : 0;
  }
  return 0;
}

uint32_t TSerialDevice::OutputQueued() {
  int fd = fd_.load();
  int n = 0;
  if (fd < 0 || Ioctl(fd, TIOCOUTQ, &n) != 0 || n < 0)
    return 0;
  return uint32_t(n);
}

bool TSerialDevice::TransmitterEmpty() {
  int fd = fd_.load();
  if (fd < 0)
    return true;
  unsigned int lsr = 0;
  if (Ioctl(fd, TIOCSERGETLSR, &lsr) == 0)
    return (lsr & TIOCSER_TEMT) != 0;
  return OutputQueued() == 0;
}

IoResult TSerialDevice::Read(void *buffer, size_t size) {
  IoResult r;
  int fd = fd_.load();
  if (fd < 0) {
    r.Status = IoStatus::Closed;
    return r;
  }
  ssize_t n;
  do {
    n = read(fd, buffer, size);
  } while (n < 0 && errno == EINTR);
  if (n > 0) {
    r.Count = size_t(n);
  } else if (n == 0) {
    r.Status = IoStatus::Lost; // readable but empty: the far end is gone
  } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
    r.Status = IoStatus::WouldBlock;
  } else if (errno == EBADF) {
    r.Status = IoStatus::Closed;
  } else if (LostErrno(errno)) {
    r.Status = IoStatus::Lost;
  } else {
    r.Status = IoStatus::Failed;
    r.Error = TranslateErrno(errno);
  }
  return r;
}

IoResult TSerialDevice::Write(const void *buffer, size_t size) {
  IoResult r;
  int fd = fd_.load();
  if (fd < 0) {
    r.Status = IoStatus::Closed;
    return r;
  }
  ssize_t n;
  do {
    n = write(fd, buffer, size);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) {
    r.Count = size_t(n);
    if (n == 0 && size > 0)
      r.Status = IoStatus::WouldBlock;
  } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
    r.Status = IoStatus::WouldBlock;
  } else if (errno == EBADF) {
    r.Status = IoStatus::Closed;
  } else if (LostErrno(errno) || errno == EPIPE) {
    r.Status = IoStatus::Lost;
  } else {
    r.Status = IoStatus::Failed;
    r.Error = TranslateErrno(errno);
  }
  return r;
}

static WaitOutcome PollWith(int fd, short devEvents, std::initializer_list<TEvent *> events, uint32_t timeoutMs,
                            short &devRevents) {
  WaitOutcome out;
  std::vector<pollfd> fds;
  fds.push_back(pollfd{fd, devEvents, 0});
  for (TEvent *e : events)
    fds.push_back(pollfd{e ? e->Handle() : -1, POLLIN, 0});
  int r;
  do {
    r = poll(fds.data(), fds.size(), int(timeoutMs));
  } while (r < 0 && errno == EINTR);
  devRevents = 0;
  if (r < 0) {
    out.Status = WaitStatus::Failed;
    out.Error = TranslateErrno(errno);
    return out;
  }
  if (r == 0) {
    out.Status = WaitStatus::TimedOut;
    return out;
  }
  devRevents = fds[0].revents;
  int i = 0;
  for (TEvent *e : events) {
    if (e && (fds[i + 1].revents & POLLIN) && e->TryConsume()) {
      out.Status = WaitStatus::Event;
      out.EventIndex = i;
      return out;
    }
    ++i;
  }
  if (devRevents & POLLNVAL) {
    out.Status = WaitStatus::Failed;
    out.Error = kErrInvalidHandle;
    return out;
  }
  if (devRevents & (POLLHUP | POLLERR)) {
    out.Status = WaitStatus::Lost;
    return out;
  }
  out.Status = devRevents ? WaitStatus::Ready : WaitStatus::TimedOut;
  return out;
}

WaitOutcome TSerialDevice::WaitWritable(std::initializer_list<TEvent *> events, uint32_t timeoutMs) {
  int fd = fd_.load();
  if (fd < 0) {
    WaitOutcome o;
    o.Status = WaitStatus::Failed;
    o.Error = kErrInvalidHandle;
    return o;
  }
  short rev = 0;
  return PollWith(fd, POLLOUT, events, timeoutMs, rev);
}

void TSerialDevice::SetCommMask(uint32_t mask) { commMask_.store(mask); }

WaitOutcome TSerialDevice::WaitCommEvent(uint32_t &events, TEvent *stop, TEvent *rxRearm, uint32_t sliceMs) {
  events = 0;
  int fd = fd_.load();
  if (fd < 0) {
    WaitOutcome o;
    o.Status = WaitStatus::Failed;
    o.Error = kErrInvalidHandle;
    return o;
  }
  bool wantRx = (commMask_.load() & evRxChar) && !rxPending_;
  // Watched lines are sampled after every wait; a short slice keeps their
  // events timely. Unwatched, nothing needs a look until something happens.
  const bool sample = watchLines_.load() && HasLineEvents();
  uint32_t slice = sample && sliceMs > kLineSampleMs ? kLineSampleMs : sliceMs;
  short rev = 0;
  WaitOutcome o =
      PollWith(fd, wantRx ? POLLIN : 0, {stop, rxPending_ ? rxRearm : nullptr, &watchSwitched_}, slice, rev);
  if (o.Status == WaitStatus::Event) {
    if (o.EventIndex == 0)
      return o;            // stop
    if (o.EventIndex == 1) // the input was drained: watch it again
      rxPending_ = false;
    // Either way nothing arrived: sample if watched and look again.
    o.Status = WaitStatus::TimedOut;
    o.EventIndex = -1;
  } else if (o.Status == WaitStatus::Ready && (rev & POLLIN)) {
    events |= evRxChar;
    rxPending_ = true;
  } else if (o.Status == WaitStatus::TimedOut) {
    rxPending_ = false; // the reader wakes on its own slice anyway
  }
  if (o.Status == WaitStatus::Lost || o.Status == WaitStatus::Failed)
    return o;
  if (sample) {
    SampleLines(events);
  } else if (hasCounters_ && (events & evRxChar)) {
    // Unwatched, line errors arrive with input: take them now, on this
    // thread, for ClearErrors to hand out without asking the driver.
    std::lock_guard<std::mutex> g(errorsLock_);
    errors_ |= TakeCounterErrorsLocked();
  }
  o.Status = events ? WaitStatus::Ready : WaitStatus::TimedOut;
  return o;
}

bool TSerialDevice::SetRs485(bool on) {
  int fd = fd_.load();
  if (fd < 0)
    return false;
  serial_rs485 rs{};
  if (Ioctl(fd, TIOCGRS485, &rs) != 0)
    return false;
  if (on)
    rs.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
  else
    rs.flags &= ~SER_RS485_ENABLED;
  return Ioctl(fd, TIOCSRS485, &rs) == 0;
}

} // namespace platform
