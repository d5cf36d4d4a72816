#!/usr/bin/env bash
# Installs a build into a temporary prefix, then builds the host program
# kxversion.c against it through pkg-config and through CMake, and runs
# both builds on an area and on a missing one.
# usage: run.sh BUILD_DIR KXCTL_LIBRARY C_COMPILER CMAKE_GENERATOR
set -uo pipefail
build=$1 kxctl=$2 cc=$3 generator=$4
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1 ||
  { cat "$tmp/install.log"; fail "cmake --install"; }
mkdir "$tmp/area"
ln -s 005.004 "$tmp/area/VERSION"

# check NAME PROGRAM: the formats on stdout, the library's error in the log.
check() {
  local name=$1 program=$2 log=$tmp/$1.log out
  out=$("$program" "$log" "$tmp/area" "$tmp/missing" 2>"$tmp/$name.err")
  local status=$?
  [ "$status" -eq 0 ] || { cat "$tmp/$name.err"; fail "$name: exit status $status"; }
  [ "$out" = "$tmp/area: format 4
$tmp/missing: format -3" ] || fail "$name: output '$out'"
  grep -q " kxversion : Can't read kxfs version link '$tmp/missing/VERSION'$" "$log" ||
    fail "$name: no log record: $(cat "$log" 2>/dev/null)"
  echo "$name: built and ran against the installed library"
}

pc=$(find "$prefix" -name kxfsutil.pc)
[ -n "$pc" ] || fail "no kxfsutil.pc installed"
export PKG_CONFIG_PATH=${pc%/*}
libdir=$(pkg-config --variable=libdir kxfsutil) || fail "pkg-config kxfsutil"
# shellcheck disable=SC2046
"$cc" -o "$tmp/kxversion-pc" "$here/kxversion.c" $(pkg-config --cflags --libs kxfsutil) \
  "$kxctl" -Wl,-rpath,"$libdir:${kxctl%/*}" || fail "build through pkg-config"
check pkg-config "$tmp/kxversion-pc"

cmake -S "$here" -B "$tmp/cmake" -G "$generator" -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_PREFIX_PATH="$prefix" -DKXCTL_LIBRARY="$kxctl" >"$tmp/configure.log" 2>&1 ||
  { cat "$tmp/configure.log"; fail "configure with find_package"; }
cmake --build "$tmp/cmake" >"$tmp/build.log" 2>&1 || { cat "$tmp/build.log"; fail "build with CMake"; }
check cmake "$tmp/cmake/kxversion"
