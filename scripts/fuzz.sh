#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Fuzzes every target under fuzz/ (or the ones named) for SECONDS each, two
# at a time, from the project's seeds and regressions plus whatever earlier
# runs found, and prints executions, coverage and corpus size per target.
#   scripts/fuzz.sh            # 600 s per target, the long run
#   scripts/fuzz.sh 20         # as long as the fuzz lane runs each target (CTest fuzz.*)
#   scripts/fuzz.sh 60 op_list settings
# New inputs go to build/fuzz/fuzz/corpus/<target>; a crash leaves its input
# in build/fuzz/artifacts/<target>/ and makes the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
shift || true
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2 >/dev/null
bin=build/fuzz/fuzz
targets=("$@")
if ((${#targets[@]} == 0)); then
  for f in "$bin"/fuzz_*; do [ -x "$f" ] && targets+=("${f##*/fuzz_}"); done
fi
logs=build/fuzz/logs
mkdir -p "$logs"

run() {
  local t=$1 dirs=("$bin/corpus/$1" "fuzz/corpus/$1")
  [ -d "fuzz/regressions/$t" ] && dirs+=("fuzz/regressions/$t")
  mkdir -p "$bin/corpus/$t" "build/fuzz/artifacts/$t"
  "$bin/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -dict=fuzz/tavro.dict -artifact_prefix="build/fuzz/artifacts/$t/" "${dirs[@]}" \
    >"$logs/$t.log" 2>&1
}
export -f run
export bin seconds logs
printf '%s\n' "${targets[@]}" | xargs -P 2 -I{} bash -c 'run {} || echo {} >>"$logs/failed"' || true

printf '%-18s %12s %8s %10s %6s %8s\n' target executions seconds "exec/s" cov corpus
status=0
for t in "${targets[@]}"; do
  log=$logs/$t.log
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  secs=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log")
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  corp=$(ls "$bin/corpus/$t" | wc -l)
  if grep -q -e 'ERROR: libFuzzer' -e 'ERROR: AddressSanitizer' -e 'runtime error' "$log"; then
    status=1
    printf '%-18s CRASHED, see %s\n' "$t" "$log"
  else
    printf '%-18s %12s %8s %10s %6s %8s\n' "$t" "${runs:-?}" "${secs:-?}" \
      "$(( ${runs:-0} / (${secs:-1} > 0 ? ${secs:-1} : 1) ))" "${cov:-?}" "$corp"
  fi
done
rm -f "$logs/failed"
exit $status
