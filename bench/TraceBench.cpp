// How long a dump holds StateLock (and so stalls the dispatch thread's
// cycle): a full 4,000,000-entry trace and a log of 10,000 poll-sized
// entries, written to a scratch file.
#include "tests/support/TempDir.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "dispatcher/AwWin32.h"

namespace {

// Files in one scratch folder, removed as the program ends.
std::string ScratchFile(const char *name) {
  static const support::TempDir dir("trace-bench");
  return (dir / name).string();
}

void BM_TraceDumpFull(benchmark::State &state) {
  const bool allHex = state.range(0) != 0;
  TApdWin32Dispatcher d(nullptr);
  const std::string file = ScratchFile("zk_bench_trace.trc");
  d.BeginByteTrace(4000000);
  for (auto _ : state) {
    state.PauseTiming();
    for (uint32_t i = 0; i < 4000000; ++i)
      d.RecordTraceByte((i / 16) % 2 ? 'R' : 'T', static_cast<uint8_t>(i));
    state.ResumeTiming();
    benchmark::DoNotOptimize(d.SaveTraceFile(file, false, allHex));
  }
  state.SetItemsProcessed(state.iterations() * 4000000);
  std::remove(file.c_str());
}
BENCHMARK(BM_TraceDumpFull)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_LogDump(benchmark::State &state) {
  TApdWin32Dispatcher d(nullptr);
  const std::string file = ScratchFile("zk_bench_log.log");
  const char report[] = "AZ=123  EL=045\r\n";
  for (auto _ : state) {
    state.PauseTiming();
    d.BeginEventLog(0);
    for (int i = 0; i < 10000; ++i)
      d.RecordLogEvent(1, 1, 16, report, 16);
    state.ResumeTiming();
    benchmark::DoNotOptimize(d.SaveLogFile(file, false, false));
  }
  state.SetItemsProcessed(state.iterations() * 10000);
  std::remove(file.c_str());
}
BENCHMARK(BM_LogDump)->Unit(benchmark::kMillisecond);

void BM_RecordTraceByte(benchmark::State &state) {
  TApdWin32Dispatcher d(nullptr);
  d.BeginByteTrace(4096);
  uint8_t b = 0;
  for (auto _ : state)
    d.RecordTraceByte('R', b++);
}
BENCHMARK(BM_RecordTraceByte);

} // namespace

BENCHMARK_MAIN();
