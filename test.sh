#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the normal build,
# then AddressSanitizer+UBSan, then ThreadSanitizer on the threaded subsystems.
# Stops at the first failure; the last thing printed is CTest's summary.
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

build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja "$@" > "$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j"$jobs"
}

echo "== normal build"
build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
(cd build && ctest --output-on-failure -j"$jobs" --timeout 600)

echo "== AddressSanitizer + UBSan build"
build build-asan -DCMAKE_BUILD_TYPE=Debug -DZK_SANITIZE=address -DZK_BUILD_BENCH=OFF
(cd build-asan && ctest --output-on-failure -j"$jobs" --timeout 900)

if [ -x scripts/fuzz.sh ]; then
  echo "== fuzzing (bounded)"
  scripts/fuzz.sh
fi

echo "== ThreadSanitizer build (threaded subsystems)"
build build-tsan -DCMAKE_BUILD_TYPE=Debug -DZK_SANITIZE=thread -DZK_BUILD_BENCH=OFF
# The window's tests run here too, except the fitting checks: those run on an
# X server, where Qt starts its own D-Bus thread, and TSan cannot see the
# synchronisation inside the uninstrumented Qt libraries.
(cd build-tsan && ctest --output-on-failure -j"$jobs" --timeout 900 \
  -L 'platform|dispatcher|comport|controller|service|rotorsim|faults|support|app' -E '^app_fit_tests')
