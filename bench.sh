#!/usr/bin/env bash
# Builds in release mode and runs every benchmark in bench/, side by side with
# the raw limits it is measured against. Each benchmark prints its figures as
# "FIGURE name: value (ratio X)"; they are repeated together at the end.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/packages.sh
zk_ensure_packages "${ZK_BUILD_PACKAGES[@]}"
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release > build-release.configure.log 2>&1 \
  || { cat build-release.configure.log; exit 1; }
cmake --build build-release -j"$(nproc)"
export QT_QPA_PLATFORM=offscreen
out=$(mktemp)
trap 'rm -f "$out"' EXIT
for b in build-release/bench/bench_*; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  "$b" 2>&1 | tee -a "$out"
done
echo
echo "== figures"
grep '^FIGURE ' "$out" | sed 's/^FIGURE //'
