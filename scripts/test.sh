#!/usr/bin/env bash
# The whole test suite from a fresh Debian 12 machine: installs what is
# missing, then builds and runs the tests three times: a GCC release build,
# a Clang build under AddressSanitizer and UndefinedBehaviorSanitizer (leak
# detection on), and a GCC build under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

for preset in ${TAVRO_PRESETS:-release asan tsan}; do
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
