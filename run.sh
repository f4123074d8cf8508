#!/usr/bin/env bash
# Installs what is missing, builds, and starts the program against the
# simulated rotator control unit.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/packages.sh
zk_ensure_packages "${ZK_BUILD_PACKAGES[@]}"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo > build.configure.log 2>&1 || { cat build.configure.log; exit 1; }
# Only what runs: the window and the simulated unit, not the tests.
cmake --build build -j"$(nproc)" --target zelkor rotorsim_program
exec scripts/run-zelkor.sh
