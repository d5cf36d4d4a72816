#!/usr/bin/env bash
# A host program built against an installed tree, on a machine whose only
# libkxctl is the tools' stand-in. The README's example is taken from the
# README as written (kxversion.c, its cc line, its CMakeLists.txt) and built
# and run both ways; the program of this directory, which also logs the
# library's messages, is built the same two ways.
# usage: run.sh BUILD_DIR README C_COMPILER CMAKE_GENERATOR
set -uo pipefail
build=$1 readme=$2 cc=$3 generator=$4
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1 ||
  { cat "$tmp/install.log"; fail "cmake --install"; }
mkdir "$tmp/area"
ln -s 005.004 "$tmp/area/VERSION"

# The README's section on host programs: its code blocks by language, and
# its shell lines.
section=$(sed -n '/^## A host program using the library/,/^## /p' "$readme")
block() { printf '%s\n' "$section" | sed -n "/^\`\`\`$1\$/,/^\`\`\`\$/p" | sed '1d;$d'; }
mkdir "$tmp/readme"
block c >"$tmp/readme/kxversion.c"
block cmake >"$tmp/readme/CMakeLists.txt"
cc_line=$(block sh | grep '^cc ')
run_line=$(block sh | grep '^\./kxversion ')
[ -s "$tmp/readme/kxversion.c" ] && [ -s "$tmp/readme/CMakeLists.txt" ] && [ -n "$cc_line" ] &&
  [ -n "$run_line" ] || fail "the README has no host-program example to build"

pc_dir=$(dirname "$(find "$prefix" -name kxfsutil.pc)")
export PKG_CONFIG_PATH=$pc_dir
libdir=$(pkg-config --variable=libdir kxfsutil) || fail "pkg-config kxfsutil"

# pkg_config_build DIR: the README's cc line, run in DIR. The program then
# finds libkxfsutil as ldconfig would let it after an install.
pkg_config_build() {
  (cd "$1" && CC=$cc bash -c "${cc_line/#cc /\"\$CC\" }") || fail "build in $1 through pkg-config"
}
cmake_build() {
  cmake -S "$1" -B "$1/build" -G "$generator" -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_PREFIX_PATH="$prefix" >"$1/configure.log" 2>&1 ||
    { cat "$1/configure.log"; fail "configure $1 with find_package"; }
  cmake --build "$1/build" >"$1/build.log" 2>&1 || { cat "$1/build.log"; fail "build $1 with CMake"; }
}
expect_formats() {
  local name=$1 out=$2 status=$3
  [ "$status" -eq 0 ] || fail "$name: exit status $status"
  [ "$out" = "$tmp/area: format 4
$tmp/missing: format -3" ] || fail "$name: output '$out'"
  echo "$name: built and ran against the installed library"
}

# The README's program, both ways, run as the README runs it.
pkg_config_build "$tmp/readme"
args=${run_line#./kxversion }
out=$(cd "$tmp/readme" && LD_LIBRARY_PATH=$libdir ./kxversion "$tmp/area" "$tmp/missing" 2>/dev/null)
expect_formats "README, pkg-config" "$out" $?
[ "$args" = /vz/private/101 ] || fail "README runs '$run_line'"
cmake_build "$tmp/readme"
out=$("$tmp/readme/build/kxversion" "$tmp/area" "$tmp/missing" 2>/dev/null)
expect_formats "README, CMake" "$out" $?

# This directory's program: the formats on stdout, the library's error in the log.
check_log() {
  local name=$1 log=$2
  grep -q " kxversion : Can't read kxfs version link '$tmp/missing/VERSION'$" "$log" ||
    fail "$name: no log record: $(cat "$log" 2>/dev/null)"
}
mkdir "$tmp/own"
cp "$here/kxversion.c" "$here/CMakeLists.txt" "$tmp/own/"
pkg_config_build "$tmp/own"
out=$(LD_LIBRARY_PATH=$libdir "$tmp/own/kxversion" "$tmp/own.log" "$tmp/area" "$tmp/missing")
expect_formats "logging program, pkg-config" "$out" $?
check_log "logging program, pkg-config" "$tmp/own.log"
cmake_build "$tmp/own"
out=$("$tmp/own/build/kxversion" "$tmp/own-cmake.log" "$tmp/area" "$tmp/missing")
expect_formats "logging program, CMake" "$out" $?
check_log "logging program, CMake" "$tmp/own-cmake.log"
