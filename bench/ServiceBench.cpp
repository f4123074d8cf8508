// The service beside the window, each on an open port polled every second
// by the simulated unit and with no client:
//  1. resident memory, zelkord against zelkor (aim: at most 40 %);
//  2. CPU over 10 s, polled every second and with the poll an hour away,
//     each against a process that only sleeps for 10 s;
//  3. the service's reply time to a network client's "p" (median, p99).
// Ends with one "FIGURE name: value (ratio X)" line per figure.
#include "rotorsim/RotorSim.h"
#include "Stats.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
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

struct Figure {
  std::string name;
  double value;
  const char *unit;
  double ratio;
};
std::vector<Figure> figures;

double Ratio(double a, double b) { return b > 0 ? a / b : 0; }

std::string TempDir() {
  std::string tmpl = (fs::temp_directory_path() / "zk-bench-service-XXXXXX").string();
  if (!mkdtemp(tmpl.data()))
    throw std::runtime_error("mkdtemp");
  return tmpl;
}

long RssKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0)
      return std::stol(line.substr(6));
  return -1;
}

// CPU time of every thread of a process so far, in microseconds, from the
// scheduler's nanosecond counts.
double CpuMicros(pid_t pid) {
  double total = 0;
  std::error_code ec;
  for (const auto &task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream in(task.path() / "schedstat");
    double ns = 0;
    if (in >> ns)
      total += ns / 1000.0;
  }
  return total;
}

pid_t Start(const std::vector<std::string> &argv, const std::string &dir) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0)
      _exit(127);
    const int quiet = ::open("/dev/null", O_WRONLY);
    dup2(quiet, 1);
    dup2(quiet, 2);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    std::vector<char *> args;
    for (const std::string &a : argv)
      args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  return pid;
}

void Stop(pid_t pid) {
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
}

struct Idle {
  long rssKiB = -1;
  double cpuMicros = -1; // over the span
};

// A program on COM1 to the unit, polling every pollMs, with nobody else.
Idle RunIdle(const std::vector<std::string> &argv, std::chrono::seconds span, int pollMs, uint16_t servePort = 0,
             const std::function<void(uint16_t)> &meanwhile = {}) {
  const std::string dir = TempDir();
  for (const char *f : {"Zelkor_M_language.csv", "Windrose_AZ.jpg"})
    fs::copy_file(fs::path(ZK_DATA) / f, fs::path(dir) / f);
  std::ofstream(fs::path(dir) / "Zelkor_M.ini") << "1\r\nEN\r\n" << pollMs << "\r\n10\r\n0\r\n0\r\n1\r\n50\r\n50\r\n";
  rotorsim::Options o;
  o.wire.delivery = rotorsim::Delivery::Burst;
  rotorsim::ServerOptions so;
  so.linkPath = dir + "/COM1";
  rotorsim::PtyServer unit(o, so);
  const pid_t pid = Start(argv, dir);
  auto polls = [&] {
    int n = 0;
    for (const auto &c : unit.commands())
      n += c.command == rotorsim::Command::Poll || c.command == rotorsim::Command::PollBoth;
    return n;
  };
  Idle idle;
  // Up with its port open: the first poll (an hour's period polls once).
  const int wanted = pollMs > 10000 ? 0 : 2;
  const auto end = Clock::now() + 30s;
  while (polls() < wanted && Clock::now() < end)
    std::this_thread::sleep_for(50ms);
  if (wanted == 0)
    std::this_thread::sleep_for(2s);
  if (polls() >= wanted) {
    idle.rssKiB = RssKiB(pid);
    const double before = CpuMicros(pid);
    std::this_thread::sleep_for(span);
    idle.cpuMicros = CpuMicros(pid) - before;
    if (meanwhile)
      meanwhile(servePort);
  }
  Stop(pid);
  fs::remove_all(dir);
  return idle;
}

double SleeperCpuMicros(std::chrono::seconds span) {
  const pid_t pid = Start({"sleep", std::to_string(span.count() + 2)}, "/");
  std::this_thread::sleep_for(500ms); // past its start
  const double before = CpuMicros(pid);
  std::this_thread::sleep_for(span);
  const double used = CpuMicros(pid) - before;
  Stop(pid);
  return used;
}

uint16_t FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

// "p" over one connection, answered with two lines; microseconds each.
std::vector<double> ReplyTimes(uint16_t port, int rounds) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    close(fd);
    throw std::runtime_error("no connection to the service");
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::vector<double> times;
  for (int i = 0; i < rounds; ++i) {
    const auto t0 = Clock::now();
    if (write(fd, "p\n", 2) != 2)
      break;
    std::string reply;
    while (std::count(reply.begin(), reply.end(), '\n') < 2) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 2000) <= 0)
        throw std::runtime_error("no reply to p");
      char buf[256];
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0)
        throw std::runtime_error("the service closed the connection");
      reply.append(buf, std::size_t(n));
    }
    if (reply.find("RPRT") != std::string::npos)
      throw std::runtime_error("p answered " + reply);
    times.push_back(bench::Micros(Clock::now() - t0));
  }
  close(fd);
  return times;
}

} // namespace

int main() {
  signal(SIGPIPE, SIG_IGN);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  int status = 0;
  try {
    const auto span = 10s;
    bench::Stats reply{};
    const uint16_t port = FreePort();
    const Idle service = RunIdle({ZK_SERVICE, "--rotctld", "127.0.0.1:" + std::to_string(port)}, span, 1000, port,
                                 [&](uint16_t p) { reply = bench::Summarise(ReplyTimes(p, 1000)); });
    const Idle window = RunIdle({ZK_PROGRAM}, span, 1000);
    // The port open and nothing asked of it: the poll an hour away.
    const Idle serviceQuiet =
        RunIdle({ZK_SERVICE, "--rotctld", "127.0.0.1:" + std::to_string(FreePort())}, span, 3600000);
    const Idle windowQuiet = RunIdle({ZK_PROGRAM}, span, 3600000);
    const double sleeper = SleeperCpuMicros(span);
    if (service.rssKiB < 0 || window.rssKiB < 0 || serviceQuiet.rssKiB < 0 || windowQuiet.rssKiB < 0)
      throw std::runtime_error("a program did not start polling");

    std::printf("%-44s %12s %12s %12s\n", "", "zelkord", "zelkor", "sleep");
    std::printf("%-44s %12ld %12ld %12s\n", "resident memory (KiB)", service.rssKiB, window.rssKiB, "");
    std::printf("%-44s %12.0f %12.0f %12.0f\n", "CPU over 10 s, open port polled 1/s (us)", service.cpuMicros,
                window.cpuMicros, sleeper);
    std::printf("%-44s %12.0f %12.0f %12.0f\n", "CPU over 10 s, open port not polled (us)", serviceQuiet.cpuMicros,
                windowQuiet.cpuMicros, sleeper);
    std::printf("%-44s %12.1f %12s %12s\n", "reply to p, median (us)", reply.median, "", "");
    std::printf("%-44s %12.1f %12s %12s\n", "reply to p, p99 (us)", reply.p99, "", "");
    figures.push_back({"service resident memory", double(service.rssKiB), "KiB",
                       Ratio(double(service.rssKiB), double(window.rssKiB))});
    figures.push_back({"window resident memory", double(window.rssKiB), "KiB", 1.0});
    figures.push_back({"service CPU per 10 s polled", service.cpuMicros, "us", Ratio(service.cpuMicros, sleeper)});
    figures.push_back({"window CPU per 10 s polled", window.cpuMicros, "us", Ratio(window.cpuMicros, sleeper)});
    figures.push_back({"service CPU per 10 s idle open port", serviceQuiet.cpuMicros, "us",
                       Ratio(serviceQuiet.cpuMicros, windowQuiet.cpuMicros)});
    figures.push_back({"window CPU per 10 s idle open port", windowQuiet.cpuMicros, "us", 1.0});
    figures.push_back({"sleeping process CPU per 10 s", sleeper, "us", 1.0});
    figures.push_back({"service p reply median", reply.median, "us", 1.0});
    figures.push_back({"service p reply p99", reply.p99, "us", 1.0});
  } catch (const std::exception &e) {
    std::fprintf(stderr, "service benchmark failed: %s\n", e.what());
    status = 1;
  }
  for (const Figure &f : figures)
    std::printf("FIGURE %s: %.2f %s (ratio %.2f)\n", f.name.c_str(), f.value, f.unit, f.ratio);
  return status;
}
