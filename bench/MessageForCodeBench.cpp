// Cost of a text lookup: a table hit, an empty entry that asks the platform,
// and a CheckResult that raises and is caught.
#include "errors/AdExcept.h"

#include <benchmark/benchmark.h>

static void BM_MessageForCodeHit(benchmark::State &state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(MessageForCode(-2001));
}
BENCHMARK(BM_MessageForCodeHit);

static void BM_MessageForCodePlatformFallback(benchmark::State &state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(MessageForCode(-87));
}
BENCHMARK(BM_MessageForCodePlatformFallback);

static void BM_MessageForCodeAllSixteenBit(benchmark::State &state) {
  for (auto _ : state)
    for (int32_t code = -32768; code <= 32767; ++code)
      benchmark::DoNotOptimize(MessageForCode(code));
}
BENCHMARK(BM_MessageForCodeAllSixteenBit)->Unit(benchmark::kMillisecond);

static void BM_CheckResultRaise(benchmark::State &state) {
  for (auto _ : state) {
    try {
      CheckResult(false, -3007);
    } catch (const EAPDException &e) {
      benchmark::DoNotOptimize(e.ResultCode);
    }
  }
}
BENCHMARK(BM_CheckResultRaise);

BENCHMARK_MAIN();
