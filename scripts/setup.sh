#!/usr/bin/env bash
# Installs what building and testing tavro needs on Debian 12, when it is
# missing: the toolchain and test libraries from the machine's own apt
# sources, and yyjson 0.10 from Debian 13 (trixie), fetched from the same
# mirror through an apt configuration of the project's own. The machine's
# apt sources are left as they are. Safe to run again: it does nothing when
# everything is in place.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo

packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev
  libbenchmark-dev pkgconf binutils xz-utils python3 ca-certificates)
# The command-line host (cli/): its libcurl transport; openssl makes the
# test certificate of its HTTPS check.
packages+=(libcurl4-openssl-dev openssl)
# Windows: tavro.dll is cross-built with MinGW-w64 and tested under Wine.
packages+=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine64)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  $sudo apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
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

if ! yyjson_ok; then
  mirror=$(debian_mirror) || exit 1
  echo "setup: fetching yyjson 0.10 from Debian trixie ($mirror)"
  trixie_apt update -qq >/dev/null
  debs=$root/.deps/debs
  rm -rf "$debs" && mkdir -p "$debs"
  (cd "$debs" && trixie_apt download libyyjson0 libyyjson-dev >/dev/null)
  $sudo dpkg -i "$debs"/libyyjson0_*.deb "$debs"/libyyjson-dev_*.deb >/dev/null
fi
yyjson_ok || { echo "setup: yyjson 0.10 could not be installed" >&2; exit 1; }

# ---- Windows: the DLL links in yyjson compiled from source: the upstream
# tarball of trixie's yyjson source package, checked against the hash in the
# signed source index. Only the tarball is fetched; nothing of it is installed.

yyjson_src=$root/.deps/yyjson-0.10.0
if [ ! -f "$yyjson_src/src/yyjson.c" ] || [ ! -f "$yyjson_src/src/yyjson.h" ]; then
  echo "setup: fetching the yyjson 0.10 source from Debian trixie"
  tarballs=$root/.deps/src
  rm -rf "$tarballs" && mkdir -p "$tarballs"
  compgen -G "$root/.deps/apt/lists/*_source_Sources*" >/dev/null || trixie_apt update -qq >/dev/null
  # 'URI' file size SHA256:hash
  orig=$(cd "$tarballs" && trixie_apt source --print-uris yyjson 2>/dev/null |
    grep "' yyjson_0\.10\.0+ds\.orig\.tar\.xz ") ||
    { echo "setup: trixie has no yyjson 0.10.0 source tarball" >&2; exit 1; }
  read -r uri file _ hash <<<"$orig"
  /usr/lib/apt/apt-helper -o APT::Sandbox::User=root download-file "${uri//\'/}" "$tarballs/$file" \
    "$hash" >/dev/null
  rm -rf "$yyjson_src" && mkdir -p "$yyjson_src"
  tar -xJf "$tarballs/$file" -C "$yyjson_src" --strip-components=1 --wildcards \
    '*/src/yyjson.c' '*/src/yyjson.h' '*/LICENSE'
fi
echo "setup: ok (yyjson $(dpkg-query -W -f='${Version}' libyyjson-dev))"
