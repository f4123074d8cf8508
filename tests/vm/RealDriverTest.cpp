// Runs inside the test machine (tests/vm/run-vm.sh), on the kernel's own
// serial drivers: an emulated 16550 UART at /dev/ttyS1 and an emulated USB
// serial adapter at /dev/ttyUSB0, each wired to a simulated unit on the
// host. The adapter is unplugged and plugged in again by the host on
// request, through the control folder named by ZK_VM_CTL.
#include "app/PortHints.h"
#include "platform/PlatformErrors.h"
#include "platform/SerialDevice.h"
#include "tests/app/WindowSupport.h"
#include "tests/faults/ReportStream.h"
#include "tests/support/ProcessCounts.h"

#include <QEventLoop>
#include <QLabel>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include <time.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using faults::ShowsDegrees;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

std::string Env(const char *name, const char *fallback = "") {
  const char *v = std::getenv(name);
  return v ? v : fallback;
}

// Asks the host to act on the machine, and returns at once: the caller
// waits for the effect it can see (the device node going or coming).
void AskHost(const std::string &what) {
  const fs::path ctl = Env("ZK_VM_CTL", "/tmp/ctl");
  fs::create_directories(ctl);
  WriteFile(ctl / "request.new", what + "\n");
  fs::rename(ctl / "request.new", ctl / "request");
}

bool NodeExists(const std::string &path) { return fs::exists(path); }

// The adapter's by-id link, as udev names it from the fixed serial number.
std::string ByIdLink() {
  std::error_code ec;
  for (const auto &e : fs::directory_iterator("/dev/serial/by-id", ec))
    if (e.path().filename().string().find("ZK0001") != std::string::npos)
      return e.path().string();
  return {};
}

// The window's thread beats every 10 ms; the longest gap says how long it
// stood still.
class Heartbeat {
public:
  Heartbeat() {
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      const auto now = Clock::now();
      longest_ = std::max(longest_, now - last_);
      last_ = now;
    });
    Restart();
  }
  void Restart() {
    last_ = Clock::now();
    longest_ = {};
    timer_.start(10);
  }
  void Stop() { timer_.stop(); }
  double LongestMs() const { return Ms(std::max(longest_, Clock::now() - last_)); }

private:
  QTimer timer_;
  Clock::time_point last_;
  Clock::duration longest_{};
};

// The longest stretch the window's thread spent blocked in a system call
// other than its event loop's wait: in an ioctl, open, close, read or write
// held up in a driver, or on a lock. A watcher thread reads the thread's
// current system call every 2 ms. Running or waiting for a processor does
// not count: the emulated machine shares the host's processors, and that
// wait is the host's, not the program's.
class ThreadHolds {
public:
  ThreadHolds() : tid_(gettid()) {
    watcher_ = std::thread([this] { Watch(); });
  }
  ~ThreadHolds() {
    stop_.store(true);
    watcher_.join();
  }
  void Restart() { restart_.store(true); }
  double LongestMs() const { return longestMs_.load(); }

private:
  // The event loop waits in poll, ppoll, epoll_wait or epoll_pwait(2).
  static bool Waiting(long nr) { return nr == 7 || nr == 271 || nr == 232 || nr == 281 || nr == 441; }
  void Watch() {
    const std::string path = "/proc/self/task/" + std::to_string(tid_) + "/syscall";
    bool held = false;
    Clock::time_point heldSince;
    while (!stop_.load()) {
      if (restart_.exchange(false)) {
        longestMs_.store(0);
        held = false;
      }
      std::ifstream in(path);
      std::string first;
      in >> first;
      // "running", or -1 when it is not in a system call at all.
      const long nr = first == "running" ? -1 : std::strtol(first.c_str(), nullptr, 10);
      const bool waiting = nr < 0 || Waiting(nr);
      const auto now = Clock::now();
      if (waiting) {
        held = false;
      } else {
        if (!held)
          heldSince = now;
        held = true;
        longestMs_.store(std::max(longestMs_.load(), Ms(now - heldSince)));
      }
      std::this_thread::sleep_for(2ms);
    }
  }

  const pid_t tid_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> restart_{false};
  std::atomic<double> longestMs_{0};
  std::thread watcher_;
};

class RealDrivers : public ::testing::Test, public WindowFixture {
protected:
  void TearDown() override { form.reset(); }

  void StartWindow(const std::string &device, int pollMs) {
    std::error_code ec;
    fs::remove(dir / "COM1", ec);
    fs::create_symlink(device, dir / "COM1");
    SetConfig(CrLf({"1", "EN", std::to_string(pollMs).c_str(), "10", "0", "0", "1", "50", "50"}));
    Create();
    form->PositionsShown = [this] { shown.push_back(Clock::now()); };
    // Everything the window's thread does with the port happens in these two
    // timers: how long each call took, and how much of that the thread was
    // off the processor, blocked in a call. Only the second says that a
    // driver held it: the emulation is many times slower than the host, so
    // the work itself takes long here.
    for (auto [timer, times] : {std::pair{form->Timer1, &poll}, {form->ReconnectTimer, &retry}}) {
      timer->OnTimer = [handler = timer->OnTimer, times] {
        const auto t0 = Clock::now();
        const auto cpu0 = ThreadCpu();
        handler();
        const double wall = Ms(Clock::now() - t0);
        times->wall = std::max(times->wall, wall);
        times->blocked = std::max(times->blocked, wall - Ms(ThreadCpu() - cpu0));
      };
    }
  }
  static std::chrono::nanoseconds ThreadCpu() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
  }
  bool ShowsAz(int az, std::chrono::milliseconds limit = 15000ms) {
    return RunEventsUntil([&] { return form->Label6->text() == QString::number(az) + QChar(0x00B0); }, limit);
  }
  bool NewReportWithin(std::chrono::milliseconds limit) {
    const size_t before = shown.size();
    return RunEventsUntil([&] { return shown.size() > before; }, limit);
  }

  // Idles for a span without waking the loop on its own, so the CPU used is
  // the window's alone.
  static double IdleCpuShare(std::chrono::milliseconds span) {
    const support::CpuMeter meter;
    QEventLoop loop;
    QTimer::singleShot(span, &loop, &QEventLoop::quit);
    loop.exec();
    return meter.Share();
  }

  struct Longest {
    double wall = 0;
    double blocked = 0;
  };
  std::vector<Clock::time_point> shown;
  Longest poll, retry;
};

TEST_F(RealDrivers, RealDevicesOpenAndOnlyTheEmptyLegacySlotIsRefused) {
  ASSERT_TRUE(support::WaitFor([] { return NodeExists("/dev/ttyUSB0"); }, 30000ms)) << "no USB adapter appeared";
  struct Case {
    const char *path;
    uint32_t expected;
  } cases[] = {
      {"/dev/ttyS1", 0},                    // 8250 on a 16550A
      {"/dev/ttyUSB0", 0},                  // ftdi_sio: TIOCGSERIAL says type 0 here too
      {"/dev/ttyS2", platform::kErrNoUart}, // a legacy slot with no UART behind it
      {"/dev/ttyS3", platform::kErrNoUart},
  };
  for (const Case &c : cases) {
    platform::TSerialDevice d;
    EXPECT_EQ(c.expected, d.Open(c.path)) << c.path;
  }
  // COM3 without a link is /dev/ttyS2: the message says why it cannot open.
  SetConfig(CrLf({"3", "EN", "500", "10", "0", "0", "1", "50", "50"}));
  Create();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text,
            "Port COM3" + form->LanguageTexts[4] + "\n" + PortTroubleHint(PortTrouble::EmptySlot, form->LanguageTexts));
  EXPECT_FALSE(form->LanguageTexts[13].isEmpty());
}

TEST_F(RealDrivers, PositionsAreShownOverEachDriver) {
  struct Case {
    const char *driver;
    const char *device;
    int az;
  } cases[] = {
      {"8250 (16550A)", "/dev/ttyS1", std::atoi(Env("ZK_VM_UART_AZ", "111").c_str())},
      {"ftdi_sio (USB)", "/dev/ttyUSB0", std::atoi(Env("ZK_VM_USB_AZ", "222").c_str())},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.driver);
    StartWindow(c.device, 500);
    ASSERT_TRUE(form->ApdComPort1.Open()) << (boxes.empty() ? "" : boxes[0].text.toStdString());
    ASSERT_TRUE(ShowsAz(c.az)) << "shows " << form->Label6->text().toStdString();
    // Ten poll periods: every report is shown, about one per period.
    shown.clear();
    const auto t0 = Clock::now();
    RunEventsFor(5000ms);
    const double spanMs = Ms(Clock::now() - t0);
    double shortest = 1e9, longest = 0;
    for (size_t i = 1; i < shown.size(); ++i) {
      shortest = std::min(shortest, Ms(shown[i] - shown[i - 1]));
      longest = std::max(longest, Ms(shown[i] - shown[i - 1]));
    }
    std::printf("[figures] %s: %zu reports shown in %.0f ms (polls every 500 ms), %.0f to %.0f ms apart\n", c.driver,
                shown.size(), spanMs, shortest, longest);
    EXPECT_GE(shown.size(), 8u);
    // A move: the position is followed to its target.
    SetFieldValue(form->PBNumEdit1, c.az + 4);
    Guarded([&] { form->Button2Click(); });
    EXPECT_TRUE(ShowsAz(c.az + 4)) << "shows " << form->Label6->text().toStdString();
    EXPECT_TRUE(boxes.empty());
    form.reset();
  }
}

// Unplugged while polling, then plugged in again: first behind a plain
// /dev/ttyUSB0 link, then behind the adapter's by-id link.
TEST_F(RealDrivers, AnUnpluggedAdapterIsReportedOnceAndFoundAgain) {
  ASSERT_TRUE(support::WaitFor([] { return NodeExists("/dev/ttyUSB0"); }, 30000ms));
  // udev names the adapter by its serial number a moment after the node comes.
  support::WaitFor([] { return !ByIdLink().empty(); }, 20000ms);
  const std::string byId = ByIdLink();
  ASSERT_FALSE(byId.empty()) << "udev made no /dev/serial/by-id link for the adapter";
  struct Case {
    const char *name;
    std::string link;
  } cases[] = {{"plain /dev/ttyUSB0 link", "/dev/ttyUSB0"}, {"by-id link", byId}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    boxes.clear();
    StartWindow(c.link, 500);
    ASSERT_TRUE(RunEventsUntil([&] { return ShowsDegrees(form->Label6) && !shown.empty(); }, 15000ms));
    Heartbeat beat;
    auto turns = std::make_unique<ThreadHolds>();
    poll = {};
    RunEventsFor(1000ms);
    const double pollingGap = beat.LongestMs();
    const double pollingTurn = turns->LongestMs();
    const Longest pollingHandler = poll;

    beat.Restart();
    turns->Restart();
    poll = retry = {};
    AskHost("unplug");
    const auto unplugged = Clock::now();
    ASSERT_TRUE(RunEventsUntil([&] { return !boxes.empty(); }, 15000ms)) << "the loss was not reported";
    const double lossMs = Ms(Clock::now() - unplugged);
    const double lastReportToLoss = shown.empty() ? -1 : Ms(Clock::now() - shown.back());
    RunEventsFor(500ms);
    const double unplugGap = beat.LongestMs();
    const double unplugTurn = turns->LongestMs();
    const Longest lossHandler = poll;
    beat.Stop();
    turns.reset(); // its own sampling is no part of the window's idle
    // Away: nothing more is said, the CPU stays idle, the same port is tried.
    const double awayShare = IdleCpuShare(4000ms);
    const Longest awayRetry = retry;
    EXPECT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Port COM1" + form->LanguageTexts[9]);
    EXPECT_TRUE(form->WaitingForDevice());
    EXPECT_FALSE(NodeExists("/dev/ttyUSB0"));

    beat.Restart();
    turns = std::make_unique<ThreadHolds>();
    retry = {};
    AskHost("replug");
    ASSERT_TRUE(RunEventsUntil([&] { return NodeExists(c.link); }, 30000ms)) << c.link << " did not come back";
    const auto back = Clock::now();
    ASSERT_TRUE(NewReportWithin(10000ms)) << "no report after the adapter came back";
    const double pollsAgainMs = Ms(Clock::now() - back);
    const double replugGap = beat.LongestMs();
    const double replugTurn = turns->LongestMs();
    std::printf("[figures] %s: loss shown %.0f ms after the unplug (%.0f ms after the last report); CPU %.1f%% "
                "while away; polls again %.0f ms after %s appeared\n",
                c.name, lossMs, lastReportToLoss, awayShare * 100, pollsAgainMs, c.link.c_str());
    std::printf("[figures] %s: the window's thread, longest blocked in a system call / longest gap between 10 ms "
                "beats: %.0f / %.0f ms polling, %.0f / %.0f ms over the unplug, %.0f / %.0f ms over the replug\n",
                c.name, pollingTurn, pollingGap, unplugTurn, unplugGap, replugTurn, replugGap);
    std::printf("[figures] %s: port calls on the window's thread, longest (of it blocked): poll %.0f (%.0f) ms, "
                "poll meeting the loss and closing the port %.0f (%.0f) ms, reconnect attempt while away %.0f (%.0f) "
                "ms, reopening %.0f (%.0f) ms\n",
                c.name, pollingHandler.wall, pollingHandler.blocked, lossHandler.wall, lossHandler.blocked,
                awayRetry.wall, awayRetry.blocked, retry.wall, retry.blocked);
    EXPECT_LT(pollsAgainMs, 5000);
    EXPECT_LT(lossHandler.blocked, 100) << "closing the lost port held the window's thread";
    EXPECT_LT(awayRetry.blocked, 100) << "a reconnect attempt held the window's thread";
    EXPECT_LT(awayShare, 0.25); // emulated: the reconnect timer and the loop's own wake-ups cost more
    EXPECT_EQ(boxes.size(), 1u);
    EXPECT_FALSE(form->WaitingForDevice());
    form.reset();
  }
}

} // namespace
