#include "rotorsim/RotorSim.h"

#include "rotorsim/PosixUtil.h"
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace rotorsim {

namespace {

// How long the thread may block while nothing is due, and the slice it uses
// with a clock it cannot sleep on.
constexpr int kIdleSliceMs = 100;
constexpr int kManualSliceMs = 5;
// Output the user does not read is kept up to this much, then dropped, as a
// real unit's line would overrun.
constexpr size_t kMaxPendingOutput = 64 * 1024;
// How long a hang-up waits for the user to read the last answers.
constexpr auto kHangUpGrace = std::chrono::milliseconds(500);
constexpr auto kHandOver = std::chrono::milliseconds(50);

using posix::closeFd;
using posix::fail;

} // namespace

PtyServer::PtyServer(const Options &options, ServerOptions server, std::shared_ptr<Clock> clock)
    : clock_(clock ? std::move(clock) : std::make_shared<SteadyClock>()), server_(std::move(server)),
      start_(clock_->now()), unit_(options, start_) {
  try {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0)
      fail("posix_openpt");
    if (::grantpt(master_) != 0)
      fail("grantpt");
    if (::unlockpt(master_) != 0)
      fail("unlockpt");
    char name[128];
    if (int err = ::ptsname_r(master_, name, sizeof name); err != 0)
      fail("ptsname_r", err);
    device_ = name;

    // Our own slave descriptor keeps the line settings and spares the master
    // the endless hang-up state between the user's close and reopen.
    slave_ = ::open(device_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0)
      fail("open " + device_);
    termios tio{};
    if (::tcgetattr(slave_, &tio) != 0)
      fail("tcgetattr");
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    ::cfsetispeed(&tio, B9600);
    ::cfsetospeed(&tio, B9600);
    if (::tcsetattr(slave_, TCSANOW, &tio) != 0)
      fail("tcsetattr");

    int flags = ::fcntl(master_, F_GETFL);
    if (flags < 0 || ::fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0)
      fail("fcntl");
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0)
      fail("eventfd");
    // A unit on a board that resets when the port opens needs to know when
    // it does; our own descriptor above is already open and not seen.
    // Without the watch such a unit simply never resets.
    openWatch_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (openWatch_ >= 0 && ::inotify_add_watch(openWatch_, device_.c_str(), IN_OPEN) < 0)
      closeFd(openWatch_);

    if (!server_.linkPath.empty()) {
      struct stat st {};
      if (::lstat(server_.linkPath.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode))
          fail(server_.linkPath + " exists and is not a symbolic link", EEXIST);
        if (::unlink(server_.linkPath.c_str()) != 0)
          fail("unlink " + server_.linkPath);
      }
      if (::symlink(device_.c_str(), server_.linkPath.c_str()) != 0)
        fail("symlink " + server_.linkPath);
      link_ = server_.linkPath;
      linked_ = true;
    }
    running_ = true;
    thread_ = std::thread([this] { run(); });
  } catch (...) {
    closeDevice();
    closeFd(wakeFd_);
    closeFd(openWatch_);
    removeLink();
    throw;
  }
}

PtyServer::~PtyServer() {
  hangUp();
  closeFd(wakeFd_);
  closeFd(openWatch_);
}

void PtyServer::wake() {
  uint64_t one = 1;
  if (wakeFd_ >= 0)
    (void)!::write(wakeFd_, &one, sizeof one);
}

bool PtyServer::settle(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  // The turn under way may have read the clock before this call: wait for
  // the one after it.
  uint64_t target = turns_ + 2;
  ++settling_;
  lock.unlock();
  wake();
  lock.lock();
  bool done = turned_.wait_for(lock, timeout, [&] { return turns_ >= target || !running_; }) && turns_ >= target;
  --settling_;
  return done;
}

void PtyServer::hangUp() {
  std::lock_guard<std::mutex> life(lifeMutex_); // two callers must not both join
  stop_.store(true);
  wake();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
    thread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  closeDevice();
  removeLink();
  hungUp_.store(true);
}

void PtyServer::closeDevice() {
  closeFd(slave_);
  closeFd(master_);
}

void PtyServer::removeLink() {
  if (!linked_)
    return;
  linked_ = false;
  // Only our own link goes; someone may have replaced it meanwhile.
  char target[512];
  ssize_t n = ::readlink(link_.c_str(), target, sizeof target - 1);
  if (n >= 0 && std::string(target, size_t(n)) == device_)
    ::unlink(link_.c_str());
}

void PtyServer::run() {
  // Hand-overs the user's end has not taken yet, each a write of its own.
  std::deque<std::string> out;
  size_t outBytes = 0;
  char buf[256];
  std::optional<std::chrono::steady_clock::time_point> hangGrace;
  std::chrono::steady_clock::time_point lastWrite{};
  while (!stop_.load()) {
    TimePoint now = clock_->now();
    bool hang = false;
    std::optional<TimePoint> next;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (std::string &piece : unit_.takeDeliveries(now)) {
        if (outBytes + piece.size() > kMaxPendingOutput)
          continue; // overrun: lost
        outBytes += piece.size();
        out.push_back(std::move(piece));
      }
      hang = unit_.hangUpDue(now);
      next = unit_.nextDue();
    }
    while (!out.empty()) {
      std::string &front = out.front();
      ssize_t n = ::write(master_, front.data(), front.size());
      if (n > 0) {
        lastWrite = std::chrono::steady_clock::now();
        {
          std::lock_guard<std::mutex> lock(mutex_);
          delivered_.push_back({lastWrite, front.substr(0, size_t(n))});
          while (delivered_.size() > unit_.options().recordLimit)
            delivered_.pop_front();
        }
        outBytes -= size_t(n);
        if (size_t(n) == front.size())
          out.pop_front();
        else
          front.erase(0, size_t(n));
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        break; // EAGAIN: the user is not reading; try again when writable
      }
    }
    bool hurry;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++turns_;
      hurry = settling_ > 0;
    }
    turned_.notify_all();
    if (hang) {
      // A hang-up discards whatever the user has not read yet, so give the
      // last answers a moment to be read first.
      int unread = 0;
      if (out.empty())
        ::ioctl(slave_, FIONREAD, &unread);
      // The kernel hands written bytes on to the reader's queue a moment
      // later, so an empty queue right after a write proves nothing.
      auto real = std::chrono::steady_clock::now();
      if (!hangGrace)
        hangGrace = real + kHangUpGrace;
      bool settled = real >= lastWrite + kHandOver;
      if ((out.empty() && unread == 0 && settled) || real >= *hangGrace)
        break;
    }

    // Bytes paced at the line's rate are due about a millisecond apart, so
    // the wait is as fine as the kernel's timers.
    Duration wait = std::chrono::milliseconds(kIdleSliceMs);
    if (hurry) {
      wait = Duration::zero();
    } else if (!clock_->realTime() || hang) {
      wait = std::chrono::milliseconds(kManualSliceMs);
    } else if (next) {
      wait = std::clamp<Duration>(*next - now, Duration::zero(), wait);
    }
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
    timespec slice{time_t(ns / 1000000000), long(ns % 1000000000)};
    pollfd fds[3] = {
        {master_, short(POLLIN | (out.empty() ? 0 : POLLOUT)), 0}, {wakeFd_, POLLIN, 0}, {openWatch_, POLLIN, 0}};
    if (::ppoll(fds, 3, &slice, nullptr) < 0) {
      if (errno == EINTR)
        continue;
      break;
    }
    if (fds[1].revents & POLLIN) {
      uint64_t v;
      (void)!::read(wakeFd_, &v, sizeof v);
    }
    if (fds[2].revents & POLLIN) {
      alignas(inotify_event) char events[512];
      bool opened = false;
      while (::read(openWatch_, events, sizeof events) > 0)
        opened = true;
      if (opened) {
        std::lock_guard<std::mutex> lock(mutex_);
        unit_.portOpened(clock_->now());
      }
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      ssize_t n = ::read(master_, buf, sizeof buf);
      if (n > 0) {
        std::vector<CommandRecord> done;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          // Answers go out at the pace the user set the line to.
          if (auto format = readLineFormat(slave_))
            unit_.setLineFormat(*format);
          done = unit_.receive(std::string_view(buf, size_t(n)), clock_->now());
        }
        if (server_.onCommand)
          for (const auto &rec : done)
            server_.onCommand(rec);
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        // Cannot happen while we hold the slave; never spin on it.
        break;
      }
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    // Hang-up fault or a broken device: the far end goes away for good.
    if (!stop_.load()) {
      closeDevice();
      removeLink();
      hungUp_.store(true);
    }
  }
  turned_.notify_all();
}

std::vector<ReceivedByte> PtyServer::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {unit_.received().begin(), unit_.received().end()};
}

std::vector<CommandRecord> PtyServer::commands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {unit_.commands().begin(), unit_.commands().end()};
}

std::vector<Delivered> PtyServer::delivered() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {delivered_.begin(), delivered_.end()};
}

std::optional<CommandRecord> PtyServer::pendingCommand() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return unit_.pendingCommand();
}

Position PtyServer::position() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return unit_.position(clock_->now());
}

int PtyServer::commandsHandled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return unit_.commandsHandled();
}

} // namespace rotorsim
