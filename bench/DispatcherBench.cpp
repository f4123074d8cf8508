// Throughput from the far end of a pty into the receive ring and out through
// ReceiveByte, against a plain read loop on the same pty; and the CPU time
// of an idle open port against four bare threads waking on the same slices.
#include "dispatcher/AwWin32.h"
#include "platform/SerialDevice.h"
#include "platform/Sync.h"
#include "tests/support/NullOwner.h"
#include "tests/support/Ports.h"
#include "tests/support/ProcessCounts.h"
#include "tests/support/PtyPair.h"

#include <benchmark/benchmark.h>

#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

constexpr size_t kBlock = 256 * 1024;

// Writes n bytes to the far end from another thread, as fast as the reader
// takes them.
std::thread Feed(const support::PtyPair &pty, size_t n) {
  return std::thread([&pty, n] { pty.Send(std::string(n, '\x5A'), std::chrono::minutes(1)); });
}

double g_ringRate = 0, g_plainRate = 0;

void BM_RingAndReceiveByte(benchmark::State &state) {
  support::PtyPair pty;
  support::NullOwner owner;
  TApdWin32Dispatcher d(&owner);
  if (d.OpenDispatcher(support::LinkPort(1, pty.SlavePath()), 115200, 0, 8, 1, 4096, 4096, 3) != 0) {
    state.SkipWithError("open failed");
    return;
  }
  double seconds = 0, bytes = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    std::thread feeder = Feed(pty, kBlock);
    size_t got = 0;
    uint8_t c;
    while (got < kBlock) {
      if (d.ReceiveByte(c) == ecOK)
        ++got;
      else
        std::this_thread::yield();
    }
    feeder.join();
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    bytes += kBlock;
  }
  state.SetBytesProcessed(int64_t(bytes));
  g_ringRate = bytes / seconds;
}

void BM_PlainReadLoop(benchmark::State &state) {
  support::PtyPair pty;
  platform::TSerialDevice dev;
  if (dev.Open(support::LinkPort(1, pty.SlavePath())) != 0) {
    state.SkipWithError("open failed");
    return;
  }
  double seconds = 0, bytes = 0;
  std::vector<uint8_t> buf(256);
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    std::thread feeder = Feed(pty, kBlock);
    size_t got = 0;
    while (got < kBlock) {
      platform::IoResult r = dev.Read(buf.data(), buf.size());
      if (r.Status == platform::IoStatus::Ok) {
        got += r.Count;
      } else {
        pollfd p{dev.Descriptor(), POLLIN, 0};
        poll(&p, 1, 50);
      }
    }
    feeder.join();
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    bytes += kBlock;
  }
  state.SetBytesProcessed(int64_t(bytes));
  g_plainRate = bytes / seconds;
}

BENCHMARK(BM_RingAndReceiveByte)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainReadLoop)->Unit(benchmark::kMillisecond)->UseRealTime();

double IdlePortCpu(int seconds) {
  support::PtyPair pty;
  support::NullOwner owner;
  TApdWin32Dispatcher d(&owner);
  d.OpenDispatcher(support::LinkPort(1, pty.SlavePath()), 9600, 0, 8, 1, 4096, 4096, 3);
  const auto before = support::ProcessCpu();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const auto used = support::ProcessCpu() - before;
  d.CloseDispatcher();
  return std::chrono::duration<double, std::milli>(used).count();
}

double BareThreadsCpu(int seconds) {
  std::atomic<bool> stop{false};
  platform::TEvent never;
  std::vector<std::thread> threads;
  for (uint32_t slice : {50u, 50u, 100u, 100u})
    threads.emplace_back([&, slice] {
      while (!stop.load())
        never.Wait(slice);
    });
  const auto before = support::ProcessCpu();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const auto used = support::ProcessCpu() - before;
  stop.store(true);
  for (auto &t : threads)
    t.join();
  return std::chrono::duration<double, std::milli>(used).count();
}

} // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (g_plainRate > 0)
    std::printf("\nthroughput: ring + ReceiveByte %.1f MB/s, plain read loop %.1f MB/s, ratio %.2f\n", g_ringRate / 1e6,
                g_plainRate / 1e6, g_ringRate / g_plainRate);
  double port = IdlePortCpu(10);
  double bare = BareThreadsCpu(10);
  std::printf("idle CPU over 10 s: open port %.1f ms, four bare threads %.1f ms, ratio %.2f\n", port, bare,
              bare > 0 ? port / bare : 0.0);
  return 0;
}
