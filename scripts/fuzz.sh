#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time.
# ZK_FUZZ_SECONDS sets the time per target (default 20). "fuzz.sh build" only
# builds them, "fuzz.sh run" only runs what is built; no argument does both.
set -euo pipefail
mode=${1:-all}
cd "$(dirname "$0")/.."
secs=${ZK_FUZZ_SECONDS:-20}
targets=$(grep -ho 'zk_fuzz([A-Za-z0-9_]*' tests/fuzz/*.cmake 2>/dev/null | sed 's/zk_fuzz(//' || true)
if [ -z "$targets" ]; then
  echo "no fuzz targets"
  exit 0
fi
if [ "$mode" != run ]; then
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" -DZK_SANITIZE=fuzz -DZK_BUILD_BENCH=OFF \
    > build-fuzz.configure.log 2>&1 || {
    cat build-fuzz.configure.log
    exit 1
  }
  # shellcheck disable=SC2086
  cmake --build build-fuzz -j"$(nproc)" --target $targets
fi
[ "$mode" != build ] || exit 0
export QT_QPA_PLATFORM=offscreen
for t in $targets; do
  corpus="build-fuzz/corpus/$t"
  mkdir -p "$corpus"
  seeds="tests/fuzz/seeds/$t"
  [ -d "$seeds" ] || seeds=""
  echo "-- fuzzing $t for ${secs}s"
  if ! build-fuzz/$t -max_total_time="$secs" -print_final_stats=0 -artifact_prefix="build-fuzz/$t-" -close_fd_mask=1 "$corpus" $seeds > "build-fuzz/$t.log" 2>&1; then
    tail -n 60 "build-fuzz/$t.log"
    echo "fuzz target $t failed"
    exit 1
  fi
  grep -E '^#[0-9]+\s+DONE' "build-fuzz/$t.log" | tail -n 1 || true
done
