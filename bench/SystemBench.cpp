// The whole system against the bare limits beneath it, side by side:
//  1. a poll exchange through the port component and the dispatcher's four
//     threads to the simulated unit and back into the event that reads the
//     report, against the same exchange on the raw pseudo-terminal;
//     back to back and with 10 ms pauses (median and p99, microseconds);
//  2. bytes per second delivered to an event handler that reads everything,
//     against a plain read loop on the same pseudo-terminal;
//  3. CPU time of an idle open port over 10 s, against a process that
//     does nothing but sleep for the same 10 s;
//  4. resident memory of the running program against a bare Qt window.
// Ends with one "FIGURE name: value (ratio X)" line per figure.
#include "controller/RotorProtocol.h"
#include "comport/AdPort.h"
#include "platform/Messages.h"
#include "platform/SerialDevice.h"
#include "rotorsim/RotorSim.h"
#include "Stats.h"

#include "tests/support/PtyPair.h"
#include "tests/support/TempDir.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

using bench::Micros;
using bench::Stats;
using bench::Summarise;

double Ratio(double a, double b) { return b > 0 ? a / b : 0; }

struct Figure {
  std::string name;
  double value;
  const char *unit;
  double ratio;
};
std::vector<Figure> figures;

void AddFigure(const std::string &name, double value, const char *unit, double ratio) {
  figures.push_back({name, value, unit, ratio});
}

// Handles this thread's window messages until done() holds or the limit
// passed; between messages it sleeps at most `slice` ms.
bool Pump(const std::function<bool()> &done, std::chrono::milliseconds limit = 5s, uint32_t slice = 5) {
  const auto end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > end)
      return false;
    if (!platform::ProcessOneMessage())
      platform::WaitForMessage(slice);
  }
  return true;
}

int OpenRaw(const std::string &path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    throw std::runtime_error("open " + path);
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
  return fd;
}

// Reads until n bytes came; false on time-out.
bool ReadRaw(int fd, size_t n, std::chrono::milliseconds limit = 2s) {
  const auto end = Clock::now() + limit;
  char buf[4096];
  size_t got = 0;
  while (got < n) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0)
      return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, int(left)) <= 0)
      continue;
    const ssize_t r = read(fd, buf, std::min(sizeof buf, n - got));
    if (r > 0)
      got += size_t(r);
  }
  return true;
}

void WriteAll(int fd, const char *p, size_t n) {
  size_t off = 0;
  while (off < n) {
    const ssize_t w = write(fd, p + off, n - off);
    if (w > 0) {
      off += size_t(w);
    } else {
      pollfd q{fd, POLLOUT, 0};
      poll(&q, 1, 50);
    }
  }
}

// ------------------------------------------------------------ 1. poll exchange

struct Exchange {
  Stats backToBack, paused;
};

// The software's own cost is measured with every answer in one piece; a
// paced line adds its 16.7 ms a report (bench_report measures that).
rotorsim::Options Burst() {
  rotorsim::Options o;
  o.wire.delivery = rotorsim::Delivery::Burst;
  return o;
}

Exchange PollThroughStack(const std::string &dir, int rounds) {
  rotorsim::ServerOptions so;
  so.linkPath = dir + "/COM1";
  rotorsim::PtyServer unit(Burst(), so);
  TApdComPort port;
  bool report = false;
  port.OnTriggerAvail = [&](TApdCustomComPort &cp, uint16_t count) {
    if (count < 16)
      return;
    for (int i = 0; i < count; ++i)
      cp.ReadChar();
    report = true;
  };
  port.SetComNumber(1);
  port.SetBaud(9600);
  port.SetOpen(true);
  const std::vector<uint8_t> poll = PollCommand(1);
  Exchange out;
  for (bool pause : {false, true}) {
    std::vector<double> samples;
    for (int i = 0; i < rounds + 10; ++i) {
      report = false;
      const auto t0 = Clock::now();
      for (uint8_t b : poll)
        port.WriteChar(char(b));
      if (!Pump([&] { return report; }))
        throw std::runtime_error("no report through the port");
      if (i >= 10)
        samples.push_back(Micros(Clock::now() - t0));
      if (pause)
        std::this_thread::sleep_for(10ms);
    }
    (pause ? out.paused : out.backToBack) = Summarise(samples);
  }
  port.SetOpen(false);
  return out;
}

Exchange PollOnRawPty(int rounds) {
  rotorsim::PtyServer unit(Burst());
  const int fd = OpenRaw(unit.devicePath());
  const std::vector<uint8_t> poll = PollCommand(1);
  Exchange out;
  for (bool pause : {false, true}) {
    std::vector<double> samples;
    for (int i = 0; i < rounds + 10; ++i) {
      const auto t0 = Clock::now();
      WriteAll(fd, reinterpret_cast<const char *>(poll.data()), poll.size());
      if (!ReadRaw(fd, 16))
        throw std::runtime_error("no report on the raw device");
      if (i >= 10)
        samples.push_back(Micros(Clock::now() - t0));
      if (pause)
        std::this_thread::sleep_for(10ms);
    }
    (pause ? out.paused : out.backToBack) = Summarise(samples);
  }
  close(fd);
  return out;
}

// ------------------------------------------------------- 2. receive rate

// Bytes per second from the far end's first write to the last byte read.
double RateThroughStack(const std::string &dir, size_t total) {
  support::PtyPair pty(fs::path(dir) / "COM2");
  TApdComPort port;
  std::atomic<size_t> got{0};
  port.OnTriggerAvail = [&](TApdCustomComPort &cp, uint16_t count) {
    for (int i = 0; i < count; ++i)
      cp.ReadChar();
    got.fetch_add(count);
  };
  port.SetComNumber(2);
  port.SetOpen(true);
  const std::string bytes(total, 'x');
  const auto t0 = Clock::now();
  std::thread writer([&] { WriteAll(pty.Master(), bytes.data(), bytes.size()); });
  const bool done = Pump([&] { return got.load() >= total; }, 120s);
  const auto t = Clock::now() - t0;
  writer.join();
  port.SetOpen(false);
  if (!done)
    throw std::runtime_error("the handler did not get every byte");
  return double(total) / std::chrono::duration<double>(t).count();
}

double RateOnRawPty(size_t total) {
  support::PtyPair pty;
  const int fd = OpenRaw(pty.SlavePath());
  std::atomic<size_t> got{0};
  const std::string bytes(total, 'x');
  const auto t0 = Clock::now();
  std::thread writer([&] { WriteAll(pty.Master(), bytes.data(), bytes.size()); });
  char buf[4096];
  const auto end = t0 + 120s;
  while (got.load() < total && Clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0)
      continue;
    const ssize_t r = read(fd, buf, sizeof buf);
    if (r > 0)
      got.fetch_add(size_t(r));
  }
  const auto t = Clock::now() - t0;
  writer.join();
  close(fd);
  if (got.load() < total)
    throw std::runtime_error("the read loop did not get every byte");
  return double(total) / std::chrono::duration<double>(t).count();
}

// -------------------------------------------------------------- 3. idle CPU

double ProcessCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) * 1000.0 + double(ts.tv_nsec) / 1e6;
}

// Handles this thread's window messages as they come until the span has
// passed, sleeping in between: what an idle program's main thread does.
void WaitForMessagesFor(std::chrono::milliseconds span) {
  const auto end = Clock::now() + span;
  for (;;) {
    while (platform::ProcessOneMessage()) {
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0)
      return;
    platform::WaitForMessage(uint32_t(left));
  }
}

double IdlePortCpuMs(const std::string &dir, std::chrono::seconds span) {
  support::PtyPair pty(fs::path(dir) / "COM3");
  TApdComPort port;
  port.OnTriggerAvail = [](TApdCustomComPort &, uint16_t) {};
  port.SetComNumber(3);
  port.SetOpen(true);
  const double before = ProcessCpuMs();
  WaitForMessagesFor(span);
  const double used = ProcessCpuMs() - before;
  port.SetOpen(false);
  return used;
}

// The floor: the same process with no port, doing nothing but sleep.
double SleepingCpuMs(std::chrono::seconds span) {
  const double before = ProcessCpuMs();
  std::this_thread::sleep_for(span);
  return ProcessCpuMs() - before;
}

// ----------------------------------------------------------- 4. memory

long RssKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0)
      return std::stol(line.substr(6));
  return -1;
}

// Starts a program in a directory with the offscreen platform; its standard
// output comes back through a pipe.
pid_t Start(const std::string &program, const std::string &dir, int *out) {
  int fds[2];
  if (pipe(fds) != 0)
    throw std::runtime_error("pipe");
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0)
      _exit(127);
    dup2(fds[1], 1);
    const int quiet = ::open("/dev/null", O_WRONLY);
    if (quiet >= 0)
      dup2(quiet, 2); // the toolkit's notes about the offscreen platform
    close(fds[0]);
    close(fds[1]);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    execl(program.c_str(), program.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  *out = fds[0];
  return pid;
}

void Stop(pid_t pid, int out) {
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  close(out);
}

long BareWindowRss(const std::string &dir) {
  int out = -1;
  const pid_t pid = Start(ZK_BARE_WINDOW, dir, &out);
  std::string text;
  const auto end = Clock::now() + 20s;
  while (text.find("ready") == std::string::npos && Clock::now() < end) {
    pollfd p{out, POLLIN, 0};
    if (poll(&p, 1, 100) > 0) {
      char buf[64];
      const ssize_t n = read(out, buf, sizeof buf);
      if (n <= 0)
        break;
      text.append(buf, size_t(n));
    }
  }
  std::this_thread::sleep_for(1s); // up and idle
  const long rss = text.find("ready") != std::string::npos ? RssKiB(pid) : -1;
  Stop(pid, out);
  return rss;
}

long ProgramRss(const std::string &dir) {
  for (const char *f : {"Zelkor_M_language.csv", "Windrose_AZ.jpg"})
    fs::copy_file(fs::path(ZK_DATA) / f, fs::path(dir) / f, fs::copy_options::overwrite_existing);
  rotorsim::ServerOptions so;
  so.linkPath = dir + "/COM1";
  rotorsim::PtyServer unit(Burst(), so);
  int out = -1;
  const pid_t pid = Start(ZK_PROGRAM, dir, &out);
  auto polls = [&] {
    int n = 0;
    for (const auto &c : unit.commands())
      n += c.command == rotorsim::Command::Poll || c.command == rotorsim::Command::PollBoth;
    return n;
  };
  // Polling means the window is up and its port open; two polls, idle between.
  const auto end = Clock::now() + 30s;
  while (polls() < 2 && Clock::now() < end)
    std::this_thread::sleep_for(50ms);
  const long rss = polls() >= 2 ? RssKiB(pid) : -1;
  Stop(pid, out);
  return rss;
}

} // namespace

int main() {
  signal(SIGPIPE, SIG_IGN);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const support::TempDir scratch("system-bench");
  const std::string dir = scratch.Path().string();
  platform::SetStartDirectory(dir);
  int status = 0;
  try {
    std::printf("%-44s %14s %14s %8s\n", "", "system", "bare", "ratio");

    const int rounds = 300;
    const Exchange stack = PollThroughStack(dir, rounds);
    const Exchange raw = PollOnRawPty(rounds);
    auto row = [](const char *what, double a, double b, const char *unit) {
      std::printf("%-44s %11.1f %-2s %11.1f %-2s %8.2f\n", what, a, unit, b, unit, Ratio(a, b));
    };
    row("poll exchange, back to back, median", stack.backToBack.median, raw.backToBack.median, "us");
    row("poll exchange, back to back, p99", stack.backToBack.p99, raw.backToBack.p99, "us");
    row("poll exchange, 10 ms pauses, median", stack.paused.median, raw.paused.median, "us");
    row("poll exchange, 10 ms pauses, p99", stack.paused.p99, raw.paused.p99, "us");
    AddFigure("system poll exchange median", stack.backToBack.median, "us",
              Ratio(stack.backToBack.median, raw.backToBack.median));
    AddFigure("system poll exchange p99", stack.backToBack.p99, "us", Ratio(stack.backToBack.p99, raw.backToBack.p99));
    AddFigure("system poll exchange paused median", stack.paused.median, "us",
              Ratio(stack.paused.median, raw.paused.median));
    AddFigure("system poll exchange paused p99", stack.paused.p99, "us", Ratio(stack.paused.p99, raw.paused.p99));

    const size_t total = size_t(4) << 20;
    const double stackRate = RateThroughStack(dir, total);
    const double rawRate = RateOnRawPty(total);
    row("received bytes per second (MB/s)", stackRate / 1e6, rawRate / 1e6, "");
    AddFigure("system receive rate", stackRate / 1e6, "MB/s", Ratio(stackRate, rawRate));

    const double idle = IdlePortCpuMs(dir, 10s);
    const double bare = SleepingCpuMs(10s);
    // Microseconds: an idle port should cost about what sleeping costs.
    row("CPU of an idle open port over 10 s", idle * 1000, bare * 1000, "us");
    AddFigure("system idle port CPU per 10 s", idle * 1000, "us", Ratio(idle, bare));

    const support::TempDir windowDir("system-bench-window");
    const long program = ProgramRss(windowDir.Path().string());
    const long bareRss = BareWindowRss(windowDir.Path().string());
    row("resident memory of the window (KiB)", double(program), double(bareRss), "");
    AddFigure("system window resident memory", double(program), "KiB", Ratio(double(program), double(bareRss)));
  } catch (const std::exception &e) {
    std::fprintf(stderr, "system benchmark failed: %s\n", e.what());
    status = 1;
  }
  for (const Figure &f : figures)
    std::printf("FIGURE %s: %.2f %s (ratio %.2f)\n", f.name.c_str(), f.value, f.unit, f.ratio);
  return status;
}
