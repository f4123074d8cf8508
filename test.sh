#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test, stage by stage: the
# normal build first (a newcomer sees it pass within minutes), then the real
# drivers in a virtual machine, AddressSanitizer+UBSan, ThreadSanitizer on
# the threaded subsystems, and last fuzzing and the benchmarks' build. Stops
# at the first failure; each stage prints its time, and the end a summary of
# all of them.
#
# The tests mostly wait on timers and far ends, not on the processor, so the
# next stage's tree is built at low priority while a stage's tests run.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/packages.sh
zk_ensure_packages "${ZK_BUILD_PACKAGES[@]}" "${ZK_TEST_PACKAGES[@]}"

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="suppressions=$PWD/scripts/tsan.supp:halt_on_error=1:second_deadlock_stack=1"

# Line tables are all a stack trace needs; full debug information would
# cost a third of every compile. The optimiser runs on what is tested, at the
# level that compiles a sixth faster (./bench.sh measures a release build of
# its own); the tests' own code, which waits on lines and timers, is built
# without it.
normal_flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG" -DZK_TEST_FLAGS=-O0)
sanitizer_flags=(-DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-g1" -DZK_BUILD_BENCH=OFF)

configure() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja "$@" > "$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
}
build() {
  configure "$@"
  cmake --build "$1" -j"$jobs"
}
# run_tests <tree> <log> <ctest options...>: its summary lines are kept in
# the log for the final count.
run_tests() {
  local dir=$1 log=$2
  shift 2
  (cd "$dir" && ctest --output-on-failure "$@") 2>&1 | tee "$log"
}

# prebuild <log> <command...>: builds in the background, niced below the
# tests that run meanwhile; await_prebuild waits for it and shows its log
# when it failed. One at a time.
bg_pid=""
bg_log=""
prebuild() {
  bg_log=$1
  shift
  set -m # a process group of its own, so an early end stops all of it
  (
    renice -n 15 -p "$BASHPID" > /dev/null
    "$@"
  ) > "$bg_log" 2>&1 &
  bg_pid=$!
  set +m
}
await_prebuild() {
  [ -n "$bg_pid" ] || return 0
  local pid=$bg_pid
  bg_pid=""
  if ! wait "$pid"; then
    cat "$bg_log"
    echo "the background build failed (log: $bg_log)"
    return 1
  fi
  if grep -q "warning:" "$bg_log"; then
    grep -B2 -A6 "warning:" "$bg_log"
    echo "the background build warned (log: $bg_log)"
    return 1
  fi
  echo "(built meanwhile: $bg_log)"
}
trap '[ -z "$bg_pid" ] || kill -- -"$bg_pid" 2> /dev/null || true' EXIT

stage_names=()
stage_times=()
# stage <name> <function>: runs one stage and notes its time.
stage() {
  local name=$1 start=$SECONDS
  shift
  echo "== $name"
  "$@"
  local took=$((SECONDS - start))
  stage_names+=("$name")
  stage_times+=("$took")
  printf -- '-- %s: %d min %02d s\n' "$name" $((took / 60)) $((took % 60))
}

asan_tree() { build build-asan "${sanitizer_flags[@]}" -DZK_SANITIZE=address; }
# The window's tests run under ThreadSanitizer too, except the fitting
# checks: those run on an X server, where Qt starts its own D-Bus thread, and
# TSan cannot see the synchronisation inside the uninstrumented Qt libraries.
# Only the folders that run are built.
tsan_folders="platform;dispatcher;comport;controller;service;rotorsim;faults;app"
tsan_tree() { build build-tsan "${sanitizer_flags[@]}" -DZK_SANITIZE=thread "-DZK_TEST_FOLDERS=$tsan_folders"; }
# The fuzzers run for a bounded time, so niced they only try fewer inputs.
fuzz_and_bench() { scripts/fuzz.sh build && scripts/fuzz.sh run && bench_tree; }
# The same normal tree, now with the benchmarks: they must build, they are
# not run here (./bench.sh runs them).
bench_tree() { build build "${normal_flags[@]}" -DZK_BUILD_BENCH=ON; }

# Twice as many tests at once as there are cores: most of them wait.
normal() {
  build build "${normal_flags[@]}" -DZK_BUILD_BENCH=OFF
  prebuild build-asan.build.log asan_tree
  run_tests build build.ctest.log -j$((jobs * 2)) --timeout 600 -LE '^vm$'
}
# The emulated machine keeps both cores busy for most of a minute: on its
# own, while the ASan tree goes on building underneath.
real_drivers() {
  run_tests build build-vm.ctest.log --timeout 600 -L '^vm$'
}
asan() {
  await_prebuild
  prebuild build-tsan.build.log tsan_tree
  run_tests build-asan build-asan.ctest.log -j$((jobs * 2)) --timeout 900
}
tsan() {
  await_prebuild
  prebuild build-fuzz.build.log fuzz_and_bench
  run_tests build-tsan build-tsan.ctest.log -j$((jobs * 2)) --timeout 900 -L "${tsan_folders//;/|}|support" \
    -E '^app_fit_tests'
}
# The fuzzers ran during the ThreadSanitizer tests; here is what they did.
fuzz_and_benchmarks() {
  await_prebuild
  grep -E '^-- fuzzing|DONE' build-fuzz.build.log
}

stage "normal build and tests" normal
stage "real drivers in a virtual machine" real_drivers
stage "AddressSanitizer + UBSan build and tests" asan
stage "ThreadSanitizer build and tests (threaded subsystems)" tsan
stage "fuzzing (bounded) and the benchmarks' build" fuzz_and_benchmarks

echo
echo "== stage times"
total=0
for i in "${!stage_names[@]}"; do
  printf '%6d s  %s\n' "${stage_times[$i]}" "${stage_names[$i]}"
  total=$((total + stage_times[i]))
done
printf '%6d s  all\n' "$total"
# The three trees' counts, in ctest's own words.
all=0
failed=0
for log in build.ctest.log build-vm.ctest.log build-asan.ctest.log build-tsan.ctest.log; do
  line=$(grep -hE 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" 2> /dev/null | tail -n 1 || true)
  [ -n "$line" ] || continue
  all=$((all + $(sed -E 's/.*failed out of ([0-9]+).*/\1/' <<< "$line")))
  failed=$((failed + $(sed -E 's/.* ([0-9]+) tests failed out of.*/\1/' <<< "$line")))
done
echo "== all three trees"
echo "$((all > 0 ? (all - failed) * 100 / all : 0))% tests passed, $failed tests failed out of $all"
