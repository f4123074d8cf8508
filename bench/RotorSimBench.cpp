// What the simulated unit costs: parsing and answering in the state machine,
// and a poll's round trip through the pseudo-terminal with the real clock.
#include "rotorsim/RotorSim.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace std::chrono_literals;

// What the unit itself costs: answers in one piece, not at a line's pace.
static rotorsim::Options Burst() {
  rotorsim::Options o;
  o.wire.delivery = rotorsim::Delivery::Burst;
  return o;
}

static void BM_UnitPollAndMove(benchmark::State &state) {
  rotorsim::Unit unit(Burst(), rotorsim::TimePoint{});
  rotorsim::TimePoint t{};
  for (auto _ : state) {
    t += 1ms;
    unit.receive("M123\rC\r", t);
    benchmark::DoNotOptimize(unit.takeOutput(t));
  }
  state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_UnitPollAndMove);

static void BM_PtyPollRoundTrip(benchmark::State &state) {
  rotorsim::PtyServer unit(Burst());
  int fd = ::open(unit.devicePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios tio{};
  ::tcgetattr(fd, &tio);
  ::cfmakeraw(&tio);
  ::tcsetattr(fd, TCSANOW, &tio);
  char buf[64];
  for (auto _ : state) {
    if (::write(fd, "C\r", 2) != 2)
      state.SkipWithError("write");
    size_t got = 0;
    while (got < 16) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 5000) <= 0) {
        state.SkipWithError("no answer");
        break;
      }
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0)
        break;
      got += size_t(n);
    }
  }
  ::close(fd);
}
BENCHMARK(BM_PtyPollRoundTrip)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
