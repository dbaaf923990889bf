#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The whole test suite from a fresh Debian 12 machine: installs what is
# missing, then builds and runs the tests three times: a GCC release build,
# a Clang build under AddressSanitizer and UndefinedBehaviorSanitizer (leak
# detection on), and a GCC build under ThreadSanitizer. Then tavro.dll is
# cross-built with MinGW-w64, its ABI tests run under Wine and its zip is
# checked; the package build makes the Debian packages and builds a host
# against them.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh test windows

# ---- Benchmarks (bench/): built by their own preset and given one short
# pass whose checks fail the run when an operation stops doing its whole
# work. Timed runs are made by hand (docs/performance.md).
echo "== bench"
cmake --preset bench >/dev/null
cmake --build --preset bench
if ! smoke=$(build/bench/bench/tavro_bench --benchmark_min_time=0.01 2>&1); then
  echo "$smoke"
  exit 1
fi
echo "bench: every case ran and passed its checks"
# ---- end of benchmarks

for preset in ${TAVRO_PRESETS:-release asan tsan mingw package}; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" -j2
done

# Hardening (docs/hardening.md): every allocation of the library failed in
# turn under ASan+UBSan+LSan, then a short bounded run of every fuzz target.
for preset in ${TAVRO_HARDENING_PRESETS:-fault fuzz}; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" -j2
done
