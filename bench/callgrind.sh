#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Instruction counts of each operation and of its floor, under callgrind:
# repeatable where timings on a shared machine are not. Each case runs the
# benchmark program's probe once (setup, one warm-up, then the operation and
# the floor under two marker functions) and reads the two inclusive counts.
#
#   bench/callgrind.sh [CASE...]     (default: every case)
#
# Cases: files-N and magnets-N (any N), validate, root, download-0 (largest
# file), download-1 (episode), season, jsonstr, query, redact.
#
# glibc copies large blocks with `rep movsb`, which callgrind counts as one
# instruction per byte; the tunables below make it use its vector loops at
# every size, so that a copy weighs in the counts roughly what it costs.
set -euo pipefail
cd "$(dirname "$0")/.."

bin=build/bench/bench/tavro_bench
[ -x "$bin" ] || { echo "build it first: cmake --preset bench && cmake --build --preset bench" >&2; exit 1; }
command -v valgrind >/dev/null || { echo "valgrind is needed: apt-get install valgrind" >&2; exit 1; }

cases=("$@")
if [ ${#cases[@]} -eq 0 ]; then
  cases=(files-1000 files-10000 files-65536 magnets-100 magnets-1000 magnets-10000
    validate root download-0 download-1 season jsonstr query redact)
fi

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
export GLIBC_TUNABLES=glibc.cpu.x86_rep_movsb_threshold=1099511627776:glibc.cpu.x86_rep_stosb_threshold=1099511627776

printf '| case | operation (Ir per call) | floor (Ir per call) | ratio |\n|---|---:|---:|---:|\n'
for c in "${cases[@]}"; do
  reps=$(valgrind --tool=callgrind --callgrind-out-file="$out/$c.cg" "$bin" --probe="$c" \
    2>"$out/$c.log" | sed -n 's/^probe .* reps \([0-9]*\)$/\1/p')
  if [ -z "$reps" ]; then
    echo "probe $c failed:" >&2
    tail -n 5 "$out/$c.log" >&2
    exit 1
  fi
  counts=$(callgrind_annotate --inclusive=yes --threshold=100 "$out/$c.cg" 2>/dev/null |
    awk '/:tavro_probe_op /    && !op    { gsub(",", "", $1); op = $1 }
         /:tavro_probe_floor / && !floor { gsub(",", "", $1); floor = $1 }
         END { print op + 0, floor + 0 }')
  read -r op floor <<<"$counts"
  awk -v c="$c" -v op="$op" -v floor="$floor" -v reps="$reps" 'BEGIN {
    ratio = floor > 0 ? sprintf("%.2f", op / floor) : "n/a"
    printf "| %s | %.0f | %.0f | %s |\n", c, op / reps, floor / reps, ratio
  }'
done
