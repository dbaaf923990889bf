#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The timed run behind docs/performance.md: builds the bench preset, runs
# every benchmark REPS times (medians are reported; the machine is shared),
# keeps the JSON next to the build and prints the Markdown tables.
#
#   bench/run.sh [JSON_OUT]         REPS=7 MIN_TIME=0.2 by default
set -euo pipefail
cd "$(dirname "$0")/.."

out=${1:-build/bench/results.json}
cmake --preset bench >/dev/null
cmake --build --preset bench
build/bench/bench/tavro_bench \
  --benchmark_repetitions="${REPS:-7}" \
  --benchmark_min_time="${MIN_TIME:-0.2}" \
  --benchmark_report_aggregates_only=true \
  --benchmark_out="$out" --benchmark_out_format=json >&2
python3 bench/report.py "$out"
