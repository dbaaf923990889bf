#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the three Debian packages and runs lintian on them: any error or
# warning fails, and so does an override that cmake/debian/lintian-overrides.md
# does not list with its reason.
#   lintian.sh BUILD SCRATCH
set -euo pipefail

build=$(cd "$1" && pwd) scratch=$2
here=$(cd "$(dirname "$0")" && pwd)
overrides_doc=$here/../../cmake/debian/lintian-overrides.md
rm -rf "$scratch" && mkdir -p "$scratch"
scratch=$(cd "$scratch" && pwd)

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

(cd "$build" && cpack -G DEB -B "$scratch/debs") >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log"; fail "cpack -G DEB failed"; }
debs=("$scratch"/debs/*.deb)
[ "${#debs[@]}" -eq 3 ] || fail "expected three packages, got: ${debs[*]}"

# Overrides shipped in a package (usr/share/lintian/overrides) need a
# written reason.
for deb in "${debs[@]}"; do
  while read -r tag; do
    [ -n "$tag" ] || continue
    grep -q -- "\`$tag\`" "$overrides_doc" ||
      fail "$(basename "$deb") overrides $tag, which $overrides_doc does not give a reason for"
  done < <(dpkg-deb --fsys-tarfile "$deb" | tar -xO --wildcards './usr/share/lintian/overrides/*' 2>/dev/null |
    sed -n 's/^[^#:]*:* *\([a-z0-9-]*\).*/\1/p')
done

echo "-- lintian $(lintian --version | awk '{print $2}') on ${debs[*]##*/}"
# --fail-on error,warning: any such tag fails; the others (info,
# pedantic, experimental) are shown.
if ! out=$(lintian --fail-on error,warning --display-info --no-tag-display-limit "${debs[@]}" 2>&1); then
  echo "$out"
  fail "lintian found errors or warnings"
fi
[ -z "$out" ] || echo "$out"
if grep -E '^[EW]: ' <<<"$out"; then
  fail "lintian found errors or warnings"
fi
echo "lintian: no error, no warning"
