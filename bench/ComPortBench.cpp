// Latency through the port component on one pseudo-terminal, against plain
// poll and read on the raw device:
//  - a byte written at the far end until OnTriggerAvail runs on this thread;
//  - a poll exchange: "C" CR with WriteChar, a 16-byte reply from a far-end
//    thread, 16 ReadChar inside the event;
// each back to back and with 10 ms pauses. Median and p99 in microseconds.
#include "comport/AdPort.h"
#include "Stats.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/Messages.h"
#include "platform/SerialDevice.h"
#include "tests/support/Ports.h"
#include "tests/support/PtyPair.h"

namespace {

using bench::Micros;
using bench::Stats;
using bench::Summarise;

using Clock = std::chrono::steady_clock;

const char kReport[] = "AZ=123  EL=045\r\n";

// The far end answers every "C" CR with the 16-byte report.
class Responder {
public:
  explicit Responder(int master) : master_(master) {
    thread_ = std::thread([this] { Run(); });
  }
  ~Responder() {
    stop_ = true;
    thread_.join();
  }

private:
  void Run() {
    std::string pending;
    while (!stop_) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0)
        continue;
      char buf[64];
      ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0)
        continue;
      pending.append(buf, size_t(n));
      size_t pos;
      while ((pos = pending.find('\r')) != std::string::npos) {
        pending.erase(0, pos + 1);
        ssize_t w = write(master_, kReport, 16);
        (void)w;
      }
    }
  }
  int master_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

template <class Pred>
bool Pump(Pred pred) {
  auto end = Clock::now() + std::chrono::seconds(5);
  while (!pred()) {
    if (!platform::ProcessOneMessage()) {
      if (Clock::now() > end)
        return false;
      platform::WaitForMessage(1);
    }
  }
  return true;
}

void Pause(bool paused) {
  if (paused)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void Print(const char *name, Stats s, Stats raw) {
  std::printf("%s: median %.1f us, p99 %.1f us; raw median %.1f us, p99 %.1f us\n", name, s.median, s.p99, raw.median,
              raw.p99);
  std::printf("FIGURE %s median: %.1f us (ratio %.2f)\n", name, s.median, raw.median > 0 ? s.median / raw.median : 0);
  std::printf("FIGURE %s p99: %.1f us (ratio %.2f)\n", name, s.p99, raw.p99 > 0 ? s.p99 / raw.p99 : 0);
}

} // namespace

int main() {
  // The unit's end of a raw pty, linked as COM1 and held open between opens.
  support::PtyPair pty(support::ComEntry(1));
  const int master = pty.Master();
  const std::string name = pty.SlavePath();

  const int kRounds = 300;
  const int kPausedRounds = 150;

  // ---- through the component
  TApdComPort port;
  port.SetComNumber(1);
  port.SetBaud(9600);
  int mode = 0; // 0: one byte; 1: report
  bool got = false;
  std::string reply;
  port.OnTriggerAvail = [&](TApdCustomComPort &cp, uint16_t count) {
    if (mode == 0) {
      for (int i = 0; i < count; ++i)
        benchmark::DoNotOptimize(cp.ReadChar());
      got = true;
    } else if (count >= 16) {
      reply.clear();
      for (int i = 0; i < count; ++i)
        reply += cp.ReadChar();
      got = true;
    }
  };
  port.SetOpen(true);

  std::vector<double> byteLat[2], pollLat[2];
  for (int paused = 0; paused < 2; ++paused) {
    int rounds = paused ? kPausedRounds : kRounds;
    mode = 0;
    for (int i = 0; i < rounds; ++i) {
      Pause(paused);
      got = false;
      auto t0 = Clock::now();
      ssize_t w = write(master, "x", 1);
      (void)w;
      if (!Pump([&] { return got; }))
        return 2;
      byteLat[paused].push_back(Micros(Clock::now() - t0));
    }
  }
  {
    Responder unit(master);
    mode = 1;
    for (int paused = 0; paused < 2; ++paused) {
      int rounds = paused ? kPausedRounds : kRounds;
      for (int i = 0; i < rounds; ++i) {
        Pause(paused);
        got = false;
        auto t0 = Clock::now();
        port.WriteChar('C');
        port.WriteChar('\r');
        if (!Pump([&] { return got; }))
          return 3;
        pollLat[paused].push_back(Micros(Clock::now() - t0));
        if (reply != kReport)
          return 4;
      }
    }
  }
  port.SetOpen(false);

  // ---- the same on the raw device
  int fd = open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  std::vector<double> rawByte[2], rawPoll[2];
  auto readN = [&](size_t n) {
    size_t have = 0;
    char buf[64];
    while (have < n) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 5000) <= 0)
        return false;
      ssize_t r = read(fd, buf, std::min(sizeof buf, n - have));
      if (r > 0)
        have += size_t(r);
    }
    return true;
  };
  for (int paused = 0; paused < 2; ++paused) {
    int rounds = paused ? kPausedRounds : kRounds;
    for (int i = 0; i < rounds; ++i) {
      Pause(paused);
      auto t0 = Clock::now();
      ssize_t w = write(master, "x", 1);
      (void)w;
      if (!readN(1))
        return 5;
      rawByte[paused].push_back(Micros(Clock::now() - t0));
    }
  }
  {
    Responder unit(master);
    for (int paused = 0; paused < 2; ++paused) {
      int rounds = paused ? kPausedRounds : kRounds;
      for (int i = 0; i < rounds; ++i) {
        Pause(paused);
        auto t0 = Clock::now();
        ssize_t w = write(fd, "C\r", 2);
        (void)w;
        if (!readN(16))
          return 6;
        rawPoll[paused].push_back(Micros(Clock::now() - t0));
      }
    }
  }
  close(fd);

  Print("byte to OnTriggerAvail, back to back", Summarise(byteLat[0]), Summarise(rawByte[0]));
  Print("byte to OnTriggerAvail, 10 ms pauses", Summarise(byteLat[1]), Summarise(rawByte[1]));
  Print("poll exchange, back to back", Summarise(pollLat[0]), Summarise(rawPoll[0]));
  Print("poll exchange, 10 ms pauses", Summarise(pollLat[1]), Summarise(rawPoll[1]));
  return 0;
}
