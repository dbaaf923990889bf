#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Measures the resource bounds written down in docs/hardening.md: for each
# case of tavro_limits, the peak resident memory (GNU time) and the peak heap
# (valgrind's massif), split into the library's own blocks and those of the
# host (the answer it built and the copies its transport handed out).
# Needs a release build (cmake --preset release && cmake --build --preset
# release) and the packages time and valgrind.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=build/release/hardening/tavro_limits
[ -x "$bin" ] || { echo "build the release preset first" >&2; exit 1; }
command -v valgrind >/dev/null && [ -x /usr/bin/time ] ||
  { echo "needs: apt-get install valgrind time" >&2; exit 1; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

printf '%-20s %6s %12s %14s %14s %14s\n' case code "max RSS KiB" "heap peak B" "library B" "host B"
for c in baseline files-at-limit files-over-limit files-deep settings-at-limit settings-over-limit; do
  /usr/bin/time -v "$bin" "$c" >"$out/run" 2>"$out/time" || true
  rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$out/time")
  code=$(sed -n 's/^[^:]*: code \(-\{0,1\}[0-9]*\),.*/\1/p' "$out/run")
  valgrind -q --tool=massif --massif-out-file="$out/massif" "$bin" "$c" >/dev/null
  # The peak snapshot's allocation sites: a site in tavro_limits itself is
  # the host's, every other one (libtavro, libyyjson) the library's.
  read -r peak lib host < <(python3 - "$out/massif" <<'PY'
import re, sys
snap, peak_snap, cur = {}, None, None
for line in open(sys.argv[1]):
    if line.startswith("snapshot="):
        cur = int(line.split("=")[1]); snap[cur] = {"lines": []}
    elif line.startswith("mem_heap_B="):
        snap[cur]["heap"] = int(line.split("=")[1])
    elif line.startswith("heap_tree=peak"):
        peak_snap = cur
    elif cur is not None:
        snap[cur]["lines"].append(line.rstrip("\n"))
s = snap[peak_snap]
lib = host = 0
for line in s["lines"]:
    m = re.match(r"^ n\d+: (\d+) (.*)$", line)   # top-level sites: one blank of indent
    if not m:
        continue
    size, where = int(m.group(1)), m.group(2)
    if "below massif's threshold" in where:
        lib += size
    elif "tavro_limits)" in where:
        host += size
    else:
        lib += size
print(s["heap"], lib, host)
PY
)
  printf '%-20s %6s %12s %14s %14s %14s\n' "$c" "$code" "$rss" "$peak" "$lib" "$host"
done
