#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test, stage by stage: the
# normal build first (a newcomer sees it pass within minutes), then
# AddressSanitizer+UBSan, fuzzing, ThreadSanitizer on the threaded
# subsystems, and last the benchmarks' build. Stops at the first failure;
# each stage prints its time, and the end a summary of all of them.
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
# cost a third of every compile.
normal_flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG")
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
# ctest in a build tree; its summary lines are kept for the final count.
run_tests() {
  local dir=$1
  shift
  (cd "$dir" && ctest --output-on-failure "$@") 2>&1 | tee "$dir.ctest.log"
}

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

# Most tests wait on timers and far ends, not on the processor: twice as
# many run at once as there are cores. The timing checks hold under load.
normal() {
  build build "${normal_flags[@]}" -DZK_BUILD_BENCH=OFF
  run_tests build -j$((jobs * 2)) --timeout 600
}
asan() {
  build build-asan "${sanitizer_flags[@]}" -DZK_SANITIZE=address
  run_tests build-asan -j$((jobs * 2)) --timeout 900
}
fuzz() {
  scripts/fuzz.sh
}
# The window's tests run here too, except the fitting checks: those run on an
# X server, where Qt starts its own D-Bus thread, and TSan cannot see the
# synchronisation inside the uninstrumented Qt libraries. Only the folders
# that run are built.
tsan() {
  build build-tsan "${sanitizer_flags[@]}" -DZK_SANITIZE=thread \
    "-DZK_TEST_FOLDERS=platform;dispatcher;comport;controller;service;rotorsim;faults;app"
  run_tests build-tsan -j"$jobs" --timeout 900 -L 'platform|dispatcher|comport|controller|service|rotorsim|faults|support|app' -E '^app_fit_tests'
}
# The same normal tree, now with the benchmarks: they must build, they are
# not run here (./bench.sh runs them).
benchmarks() {
  build build "${normal_flags[@]}" -DZK_BUILD_BENCH=ON
}

stage "normal build and tests" normal
stage "AddressSanitizer + UBSan build and tests" asan
if [ -x scripts/fuzz.sh ]; then
  stage "fuzzing (bounded)" fuzz
fi
stage "ThreadSanitizer build and tests (threaded subsystems)" tsan
stage "benchmarks (build only)" benchmarks

echo
echo "== stage times"
total=0
for i in "${!stage_names[@]}"; do
  printf '%6d s  %s\n' "${stage_times[$i]}" "${stage_names[$i]}"
  total=$((total + stage_times[i]))
done
printf '%6d s  all\n' "$total"
passed=0
failed=0
for log in build.ctest.log build-asan.ctest.log build-tsan.ctest.log; do
  line=$(grep -hE 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" 2> /dev/null | tail -n 1 || true)
  [ -n "$line" ] || continue
  out=$(sed -E 's/.*failed out of ([0-9]+).*/\1/' <<< "$line")
  bad=$(sed -E 's/.* ([0-9]+) tests failed out of.*/\1/' <<< "$line")
  passed=$((passed + out - bad))
  failed=$((failed + bad))
done
echo "ctest: $passed passed, $failed failed"
