#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# From a fresh Debian 12 machine: installs only what the demo needs when it is
# missing (compiler, CMake, Ninja, libcurl, yyjson), builds the library and
# the command-line host (demo preset: no tests) and runs `tavro demo`, which
# needs no network and no account. Arguments go to tavro demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh demo
echo "demo: building the library and the command (build/demo)"
mkdir -p build
if ! { cmake --preset demo && cmake --build --preset demo --target tavro tavro_cli; } \
  >build/demo.log 2>&1; then
  echo "demo: the build failed; its output is in build/demo.log; its end:" >&2
  tail -n 20 build/demo.log >&2
  exit 1
fi
exec build/demo/tavro demo "$@"
