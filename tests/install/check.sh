#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs tavro the way a user does and builds a tiny host outside the
# repository against what was installed, through pkg-config and through
# find_package(tavro):
#   check.sh prefix BUILD SCRATCH CC VERSION   cmake --install BUILD --prefix SCRATCH/prefix
#   check.sh deb    BUILD SCRATCH CC VERSION   cpack -G DEB in BUILD, each package
#                                              unpacked with dpkg -x into SCRATCH/root
# Also: the SONAME, the files each package carries and its dependencies, the
# installed tavro finding its library without LD_LIBRARY_PATH, and a copy of
# tavro on its own saying where it looked and suggesting --lib.
set -euo pipefail

mode=$1 build=$(cd "$2" && pwd) scratch=$3 cc=$4 version=$5
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$scratch" && mkdir -p "$scratch"
scratch=$(cd "$scratch" && pwd)

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
has() { [ -e "$1" ] || [ -L "$1" ] || fail "missing $1"; }

# Builds and runs the host against the tree under prefix (its library in libdir).
hosts() {
  local prefix=$1 libdir=$2 out
  echo "-- pkg-config"
  local flags
  flags=$(PKG_CONFIG_PATH=$libdir/pkgconfig PKG_CONFIG_LIBDIR=/nonexistent pkg-config \
    --cflags --libs tavro) || fail "pkg-config knows no tavro in $libdir/pkgconfig"
  local inc
  inc=$(PKG_CONFIG_PATH=$libdir/pkgconfig PKG_CONFIG_LIBDIR=/nonexistent pkg-config \
    --variable=includedir tavro)
  [ "$(realpath "$inc")" = "$(realpath "$prefix/include")" ] ||
    fail "pkg-config points elsewhere: $flags"
  # shellcheck disable=SC2086 # the flags are words
  "$cc" -std=c11 -Wall -Werror "$here/host/host.c" $flags -o "$scratch/host-pc"
  out=$(LD_LIBRARY_PATH=$libdir "$scratch/host-pc") || fail "the pkg-config host failed"
  echo "$out"
  echo "-- find_package"
  cmake -S "$here/host" -B "$scratch/host-cmake" -G Ninja -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_PREFIX_PATH="$prefix" -DTAVRO_WANT="${version%.*}" >"$scratch/host-cmake.log" 2>&1 ||
    { cat "$scratch/host-cmake.log"; fail "find_package(tavro ${version%.*}) failed"; }
  cmake --build "$scratch/host-cmake" >>"$scratch/host-cmake.log" 2>&1 ||
    { cat "$scratch/host-cmake.log"; fail "the find_package host did not build"; }
  out=$(LD_LIBRARY_PATH=$libdir "$scratch/host-cmake/host") || fail "the find_package host failed"
  echo "$out"
  example "$prefix" "$libdir"
  if cmake -S "$here/host" -B "$scratch/host-cmake2" -G Ninja -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_PREFIX_PATH="$prefix" -DTAVRO_WANT=2.0 >/dev/null 2>&1; then
    fail "find_package(tavro 2.0) accepted version 1"
  fi
}

# The example host that libtavro-dev ships (share/doc/libtavro-dev/examples),
# copied out of the installed tree, built there both ways (its Makefile with
# pkg-config, its CMakeLists.txt with find_package) and run against the
# command-line tests' stand-in service through APIRoot.
example() {
  local prefix=$1 libdir=$2 shipped=$1/share/doc/libtavro-dev/examples
  for f in list_magnets.c CMakeLists.txt Makefile; do has "$shipped/$f"; done
  echo "-- the example, with make and pkg-config"
  rm -rf "$scratch/example-make" && cp -r "$shipped" "$scratch/example-make"
  PKG_CONFIG_PATH=$libdir/pkgconfig make -C "$scratch/example-make" CC="$cc" \
    CFLAGS="-O2 -Wall -Wextra -Werror" >"$scratch/example-make.log" 2>&1 ||
    { cat "$scratch/example-make.log"; fail "the example did not build with its Makefile"; }
  python3 "$here/run_example.py" "$scratch/example-make/list_magnets" "$libdir" ||
    fail "the example built with make did not list the magnets"
  echo "-- the example, with find_package"
  cmake -S "$shipped" -B "$scratch/example-cmake" -G Ninja -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" -DCMAKE_PREFIX_PATH="$prefix" \
    >"$scratch/example-cmake.log" 2>&1 &&
    cmake --build "$scratch/example-cmake" >>"$scratch/example-cmake.log" 2>&1 ||
    { cat "$scratch/example-cmake.log"; fail "the example did not build with its CMakeLists.txt"; }
  python3 "$here/run_example.py" "$scratch/example-cmake/list_magnets" "$libdir" ||
    fail "the example built with CMake did not list the magnets"
}

# The command finds its library without help, and says where it looked when
# it cannot.
command_finds_library() {
  local tavro=$1 out
  out=$(env -u LD_LIBRARY_PATH "$tavro" --version) || fail "$tavro --version failed"
  [[ $out == *"(library "[0-9]* ]] || fail "$tavro found no library: $out"
  echo "$out"
  mkdir -p "$scratch/alone"
  cp "$tavro" "$scratch/alone/tavro"
  if out=$(env -u LD_LIBRARY_PATH "$scratch/alone/tavro" redact x 2>&1); then
    fail "tavro on its own ran: $out"
  fi
  [[ $out == *"$scratch/alone/"* && $out == *"--lib"* ]] ||
    fail "tavro on its own does not say where it looked or suggest --lib: $out"
}

soname() {
  local got
  got=$(readelf -d "$1" | sed -n 's/.*(SONAME).*\[\(.*\)\].*/\1/p')
  [ "$got" = libtavro.so.1 ] || fail "SONAME of $1 is '$got'"
}

case $mode in
  prefix)
    prefix=$scratch/prefix
    cmake --install "$build" --prefix "$prefix" >"$scratch/install.log"
    libdir=$(dirname "$(find "$prefix" -name libtavro.so.1 | head -n 1)")
    [ "$libdir" != . ] || fail "no libtavro.so.1 installed"
    for f in "$libdir/libtavro.so.$version" "$libdir/libtavro.so.1" "$libdir/libtavro.so" \
      "$prefix/include/tavro.h" "$prefix/include/tavro_version.h" "$libdir/pkgconfig/tavro.pc" \
      "$libdir/cmake/tavro/tavroConfig.cmake" "$libdir/cmake/tavro/tavroConfigVersion.cmake" \
      "$prefix/bin/tavro" "$prefix/share/man/man1/tavro.1.gz" \
      "$prefix/share/bash-completion/completions/tavro" "$prefix/share/doc/libtavro-dev/README.md" \
      "$prefix/share/doc/libtavro-dev/NEWS.md"; do
      has "$f"
    done
    [ "$(readlink "$libdir/libtavro.so")" = libtavro.so.1 ] || fail "libtavro.so does not link to libtavro.so.1"
    soname "$libdir/libtavro.so.$version"
    if command -v man >/dev/null; then
      man -l "$prefix/share/man/man1/tavro.1.gz" >/dev/null 2>&1 || fail "man -l cannot render tavro.1.gz"
    else
      echo "-- (no man on this machine: the page is not rendered)"
    fi
    command_finds_library "$prefix/bin/tavro"
    hosts "$prefix" "$libdir"
    ;;
  deb)
    (cd "$build" && cpack -G DEB -B "$scratch/debs") >"$scratch/cpack.log" 2>&1 ||
      { cat "$scratch/cpack.log"; fail "cpack -G DEB failed"; }
    root=$scratch/root
    declare -A depends
    for deb in "$scratch"/debs/*.deb; do
      name=$(dpkg-deb -f "$deb" Package)
      depends[$name]=$(dpkg-deb -f "$deb" Depends)
      echo "-- $name: $(dpkg-deb -f "$deb" Version); Depends: ${depends[$name]}"
      dpkg-deb -c "$deb" | awk '{print "   " $6 ($7 ? " " $7 " " $8 : "")}'
      dpkg -x "$deb" "$root"
    done
    for p in libtavro1 libtavro-dev tavro; do
      [ -n "${depends[$p]+x}" ] || fail "no package $p"
      # Each package's copyright file (the licence in it) and changelog.
      has "$root/usr/share/doc/$p/copyright"
      has "$root/usr/share/doc/$p/changelog.Debian.gz"
      grep -q "^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" \
        "$root/usr/share/doc/$p/copyright" || fail "$p: copyright is not machine-readable"
      grep -q "^ Copyright (c) 2026 the tavro authors" "$root/usr/share/doc/$p/copyright" ||
        fail "$p: copyright does not carry LICENSE"
      zcat "$root/usr/share/doc/$p/changelog.Debian.gz" | head -n 1 | grep -q "^tavro ($version-1) " ||
        fail "$p: changelog.Debian.gz does not begin with $version-1"
    done
    for p in libtavro1 tavro; do
      [ "$(grep -o 'libyyjson0' <<<"${depends[$p]}" | wc -l)" -eq 1 ] ||
        fail "$p names libyyjson0 other than once: ${depends[$p]}"
    done
    [[ ${depends[libtavro1]} == *"libyyjson0 (>= 0.10"* ]] || fail "libtavro1 does not depend on libyyjson0 >= 0.10"
    # ldconfig by trigger, no maintainer scripts; a symbols file naming
    # exactly the library's exports, which are TAVRO_EXPORT_NAMES.
    ctl=$scratch/control-libtavro1
    dpkg-deb -e "$scratch"/debs/libtavro1_*.deb "$ctl"
    [ "$(cat "$ctl/triggers")" = "activate-noawait ldconfig" ] || fail "libtavro1 has no ldconfig trigger"
    for script in preinst postinst prerm postrm; do
      [ ! -e "$ctl/$script" ] || fail "libtavro1 has a $script: $(cat "$ctl/$script")"
    done
    listed=$(sed -n 's/^ \([a-z_]*\)@Base .*/\1/p' "$ctl/symbols" | sort)
    exported=$(readelf --dyn-syms -W "$(find "$root" -name 'libtavro.so.1.*' | head -n 1)" |
      awk '$7 != "UND" && $5 == "GLOBAL" && $4 == "FUNC" {print $8}' | sed 's/@.*//' | sort)
    header=$(sed -n 's/^ *X(\([a-z_]*\)) *\\*$/\1/p' "$here/../../include/tavro.h" | sort)
    [ "$listed" = "$exported" ] || fail "symbols file and library differ: $(diff <(echo "$listed") <(echo "$exported"))"
    [ "$listed" = "$header" ] || fail "symbols file and TAVRO_EXPORT_NAMES differ: $(diff <(echo "$listed") <(echo "$header"))"
    head -n 1 "$ctl/symbols" | grep -q "^libtavro.so.1 libtavro1 #MINVER#" || fail "symbols: $(head -n 1 "$ctl/symbols")"
    # The README and the example in libtavro-dev, not in the library.
    dev_files=$(dpkg-deb -c "$scratch"/debs/libtavro-dev_*.deb)
    grep -q " ./usr/share/doc/libtavro-dev/README.md$" <<<"$dev_files" || fail "libtavro-dev holds no README"
    lib_files=$(dpkg-deb -c "$scratch"/debs/libtavro1_*.deb)
    if grep -q README <<<"$lib_files"; then fail "libtavro1 holds a README"; fi
    [[ ${depends[libtavro-dev]} == *"libtavro1 (= "* ]] || fail "libtavro-dev does not depend on libtavro1"
    [[ ${depends[tavro]} == *"libtavro1 (= "* && ${depends[tavro]} == *libcurl* ]] ||
      fail "tavro does not depend on libtavro1 and libcurl"
    multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || "$cc" -print-multiarch)
    libdir=$root/usr/lib/$multiarch
    has "$libdir/libtavro.so.1"
    soname "$libdir/libtavro.so.1"
    has "$root/usr/include/tavro.h"
    has "$root/usr/share/man/man1/tavro.1.gz"
    command_finds_library "$root/usr/bin/tavro"
    hosts "$root/usr" "$libdir"
    ;;
  *) fail "unknown mode $mode" ;;
esac
echo "install ($mode): ok"
