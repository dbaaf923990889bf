#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what tavro needs on Debian 12, when it is missing, for the purposes
# named on the command line:
#   demo     the compiler, CMake, Ninja, libcurl, libqrencode and yyjson: enough to build
#            the library and the command-line host (scripts/demo.sh)
#   test     the demo's share plus the test toolchain: Clang and its sanitizer
#            runtimes, GoogleTest, Google Benchmark, Python 3, OpenSSL
#   windows  MinGW-w64, Wine (callable as `wine`) and yyjson's source, for
#            tavro.dll
# With no purpose, all three. Packages come from the machine's own apt
# sources; yyjson 0.10 from Debian 13 (trixie) on the same mirror, through an
# apt configuration of the project's own under .deps/apt. The machine's apt
# sources are left as they are. apt's and dpkg's output goes to
# .deps/setup.log; the terminal gets one line a step, and the log's path when
# a step fails. Safe to run again: it does nothing when everything is in place.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo

want_demo=0 want_test=0 want_windows=0
(($#)) || set -- demo test windows
for purpose in "$@"; do
  case $purpose in
    demo) want_demo=1 ;;
    test) want_demo=1 want_test=1 ;;
    windows) want_windows=1 ;;
    *)
      echo "usage: scripts/setup.sh [demo] [test] [windows]" >&2
      exit 2
      ;;
  esac
done

mkdir -p "$root/.deps"
log=$root/.deps/setup.log
: >"$log"
# Runs a step with its output in the log; on failure shows the log's end.
step() {
  local what=$1
  shift
  echo "setup: $what"
  if ! "$@" >>"$log" 2>&1; then
    echo "setup: failed: $what; the whole output is in $log; its end:" >&2
    tail -n 15 "$log" >&2
    exit 1
  fi
}

packages=()
# The library and the command-line host with its libcurl transport and the
# QR code of tavro login (libqrencode, found through pkg-config).
((want_demo)) && packages+=(cmake ninja-build g++ libcurl4-openssl-dev libqrencode-dev pkgconf
  ca-certificates)
# The test lanes: Clang with its sanitizer and libFuzzer runtimes, the test
# and benchmark libraries, Python 3 for the command-line tests and openssl
# for their test certificate; pkg-config, binutils (readelf), dpkg-dev
# (dpkg-shlibdeps), file and lintian for the install check and the Debian
# packages; libcurl's headers build the shipped example host against them.
((want_test)) && packages+=(clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
  python3 openssl pkgconf binutils dpkg-dev file lintian make)
# Windows: tavro.dll is cross-built with MinGW-w64 and tested under Wine;
# xz-utils unpacks yyjson's source tarball.
((want_windows)) && packages+=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine64
  binutils-mingw-w64-x86-64 xz-utils)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
if ((${#missing[@]})); then
  step "updating the package lists" $sudo apt-get update
  step "installing ${missing[*]}" $sudo env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y --no-install-recommends "${missing[@]}"
fi

yyjson_ok() {
  local v
  v=$(dpkg-query -W -f='${Version}' libyyjson-dev 2>/dev/null) || return 1
  installed libyyjson-dev && installed libyyjson0 && dpkg --compare-versions "$v" ge 0.10
}

# The Debian mirror that the machine's own sources name.
debian_mirror() {
  local uri
  uri=$(awk '
    /^[[:space:]]*$/ { if (uris != "" && suites ~ /(^| )bookworm( |$)/) { print uris; exit } uris = ""; suites = ""; next }
    /^URIs:/ { uris = $2 }
    /^Suites:/ { $1 = ""; suites = $0 " " }
    END { if (uris != "" && suites ~ /(^| )bookworm( |$)/) print uris }
  ' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)
  if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    uri=$(sed -nE 's/^deb[[:space:]]+(\[[^]]*\][[:space:]]+)?([^[:space:]]+)[[:space:]]+bookworm[[:space:]].*/\2/p' \
      /etc/apt/sources.list | head -n 1)
  fi
  if [ -z "$uri" ]; then
    echo "setup: no Debian bookworm source in /etc/apt/sources.list or /etc/apt/sources.list.d/*.sources;" \
      "yyjson 0.10 is fetched from the same mirror's trixie suite, so one is needed" >&2
    return 1
  fi
  echo "$uri"
}

# Runs apt-get against trixie's main component only, with lists and caches
# kept under .deps/apt.
trixie_apt() {
  local dir=$root/.deps/apt
  mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial" "$dir/etc"
  local mirror
  mirror=$(debian_mirror) || exit 1
  cat >"$dir/etc/sources.list" <<SOURCES
deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror trixie main
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror trixie main
SOURCES
  apt-get -q \
    -o Dir::Etc::SourceList="$dir/etc/sources.list" -o Dir::Etc::SourceParts=/nonexistent \
    -o Dir::State::Lists="$dir/lists" -o Dir::Cache="$dir/cache" \
    -o APT::Sandbox::User=root -o Debug::NoLocking=1 "$@"
}

debs=$root/.deps/debs
# (Steps run inside `if`, where set -e does not reach: each line says || return.)
fetch_yyjson() {
  trixie_apt update || return
  rm -rf "$debs" && mkdir -p "$debs" || return
  (cd "$debs" && trixie_apt download libyyjson0 libyyjson-dev)
}
if ((want_demo)) && ! yyjson_ok; then
  mirror=$(debian_mirror) || exit 1
  step "fetching yyjson 0.10 from Debian trixie ($mirror)" fetch_yyjson
  step "installing yyjson 0.10" $sudo dpkg -i "$debs"/libyyjson0_*.deb "$debs"/libyyjson-dev_*.deb
  yyjson_ok || { echo "setup: yyjson 0.10 could not be installed; see $log" >&2; exit 1; }
fi

# ---- Windows: the DLL links in yyjson compiled from source: the upstream
# tarball of trixie's yyjson source package, checked against the hash in the
# signed source index. Only the tarball is fetched; nothing of it is installed.

yyjson_src=$root/.deps/yyjson-0.10.0
fetch_yyjson_source() {
  local tarballs=$root/.deps/src
  rm -rf "$tarballs" && mkdir -p "$tarballs" || return
  compgen -G "$root/.deps/apt/lists/*_source_Sources*" >/dev/null || trixie_apt update || return
  # 'URI' file size SHA256:hash
  local orig uri file hash
  orig=$(cd "$tarballs" && trixie_apt source --print-uris yyjson 2>/dev/null |
    grep "' yyjson_0\.10\.0+ds\.orig\.tar\.xz ") ||
    { echo "trixie has no yyjson 0.10.0 source tarball"; return 1; }
  read -r uri file _ hash <<<"$orig"
  /usr/lib/apt/apt-helper -o APT::Sandbox::User=root download-file "${uri//\'/}" "$tarballs/$file" \
    "$hash" || return
  rm -rf "$yyjson_src" && mkdir -p "$yyjson_src" || return
  tar -xJf "$tarballs/$file" -C "$yyjson_src" --strip-components=1 --wildcards \
    '*/src/yyjson.c' '*/src/yyjson.h' '*/LICENSE'
}
if ((want_windows)) && { [ ! -f "$yyjson_src/src/yyjson.c" ] || [ ! -f "$yyjson_src/src/yyjson.h" ]; }; then
  debian_mirror >/dev/null || exit 1
  step "fetching the yyjson 0.10 source from Debian trixie" fetch_yyjson_source
fi
# Debian's wine64 8.0 puts its loader at /usr/lib/wine/wine64, off PATH:
# `wine` is made callable by that name.
if ((want_windows)) && ! command -v wine >/dev/null && [ -x /usr/lib/wine/wine64 ]; then
  step "linking /usr/local/bin/wine to /usr/lib/wine/wine64" $sudo ln -sf /usr/lib/wine/wine64 /usr/local/bin/wine
fi
((want_demo)) && yyjson=" (yyjson $(dpkg-query -W -f='${Version}' libyyjson-dev))" || yyjson=""
echo "setup: ok: $*$yyjson"
