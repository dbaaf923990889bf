#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The whole test suite from a fresh Debian 12 machine: installs what is
# missing, then builds and runs each lane in turn:
#   bench    the benchmarks, one short pass whose checks fail the run when an
#            operation stops doing its whole work (timed runs are made by
#            hand: docs/performance.md)
#   release  GCC, optimised
#   asan     Clang under AddressSanitizer and UndefinedBehaviorSanitizer
#            (leak detection on)
#   tsan     GCC under ThreadSanitizer
#   mingw    tavro.dll cross-built with MinGW-w64, its ABI tests under Wine
#            and its zip checked
#   package  the Debian packages, lintian on them, and hosts built against
#            them
#   fault    every allocation of the library failed in turn, under
#            ASan+UBSan+LSan (docs/hardening.md)
#   fuzz     a short bounded run of every fuzz target (docs/hardening.md)
# TAVRO_LANES picks some of them, in this order.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh test windows

for lane in ${TAVRO_LANES:-bench release asan tsan mingw package fault fuzz}; do
  echo "== $lane"
  cmake --preset "$lane" >/dev/null
  cmake --build --preset "$lane"
  if [ "$lane" = bench ]; then
    if ! smoke=$(build/bench/bench/tavro_bench --benchmark_min_time=0.01 2>&1); then
      echo "$smoke"
      exit 1
    fi
    echo "bench: every case ran and passed its checks"
  else
    ctest --preset "$lane" -j2
  fi
done
