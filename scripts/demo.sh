#!/usr/bin/env bash
# From a fresh Debian 12 machine: installs what is missing, builds the
# library and the command-line host (release preset) and runs `tavro demo`,
# which needs no network and no account. Arguments go to tavro demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release --target tavro tavro_cli
exec build/release/tavro demo "$@"
