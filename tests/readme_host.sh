#!/usr/bin/env bash
# The README's "Use on a host" commands, run in their order and as written
# on generated hosts: the routine sequence on container 101's area of the
# current format, with marked magic links and their cow files, and the
# upgrade on an area of the old format 005.003. Each command must end with
# status 0. Across the sequence, what the container reads at each name
# where it read a cow file before must be what it reads there after, in
# container 101 and in its clone 102 (kxfsinspect entry, before and after).
# usage: readme_host.sh README BUILD_DIR GEN_HOST
# Runs as root under the host simulator (LD_PRELOAD), as the tests do.
set -uo pipefail
readme=$1 build=$2 gen_host=$3
[ "$(id -u)" -eq 0 ] || { echo "needs root (cow marks are trusted attributes)"; exit 77; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

export PATH=$build:$PATH

# generate DIR VERSION: a host in DIR with container 101's area in that
# format; sets host, area and template.
generate() {
  local report
  report=$("$gen_host" --entries 3000 --version "$2" "$1") || fail "gen_host"
  host=$(printf '%s\n' "$report" | sed -n 's/^host=//p')
  area=$(printf '%s\n' "$report" | sed -n 's/^area=//p')
  template=$(printf '%s\n' "$report" | sed -n 's/^template=//p')
  export KXFS_TEST_HOST_ROOT=$host
  # The host's package tool: the upgrade with --ctid has it verify the
  # container's templates.
  mkdir -p "$host/usr/sbin"
  printf '#!/bin/sh\nexit 0\n' >"$host/usr/sbin/kxpkg"
  chmod 755 "$host/usr/sbin/kxpkg"
}

# run_block N: the README's Nth shell block of the section, line by line,
# with the host's paths below the generated host; answers of -i come from
# an empty input.
run_block() {
  local steps line command status started
  steps=$(sed -n '/^## Use on a host/,/^## /p' "$readme" | awk -v n="$1" '
    /^```sh$/ { inside = 1; block++; next }
    /^```$/ { inside = 0; next }
    inside && block == n && !/^#/ && !/^ *$/')
  [ -n "$steps" ] || fail "the README has no shell block $1 under \"Use on a host\""
  while IFS= read -r line; do
    command=${line//\/kx\/template/$template}
    command=${command//\/vz\/private\//$host\/vz\/private\/}
    read -ra argv <<<"$command"
    started=$SECONDS
    "${argv[@]}" </dev/null >"$tmp/step.out" 2>&1
    status=$?
    [ "$status" -eq 0 ] || { cat "$tmp/step.out"; fail "'$line' ended with status $status"; }
    echo "ran: $line ($((SECONDS - started)) s)"
  done <<<"$steps"
}

# reads AREA PATH: the file the container of AREA reads at PATH.
reads() {
  kxfsinspect entry -t "$template" "$1" "$2" | sed -n 's/^reads  *//p'
}

# The upgrade of an old area comes first.
generate "$tmp/old" 005.003
run_block 2
[ "$(readlink "$area/VERSION")" = 005.004 ] || fail "the upgrade left $(readlink "$area/VERSION")"

generate "$tmp/current" 005.004

# The names where container 101 reads a cow file, and what it reads there.
(cd "$area/root" && find . -type l -perm -1000 -printf '%P\n') | sort >"$tmp/marked"
: >"$tmp/before"
while IFS= read -r path; do
  file=$(reads "$area" "$path")
  case $file in
    "$area/cow/"*) printf '%s %s\n' "$(md5sum <"$file" | cut -d' ' -f1)" "$path" >>"$tmp/before" ;;
  esac
done <"$tmp/marked"
claimed=$(wc -l <"$tmp/before")
[ "$claimed" -gt 20 ] || fail "the generated area has only $claimed claimed cow files"

run_block 1

# CHECK that depends on kxfsdirindex keeping marked magic links beside the
# index (a marked link taken into an index loses its cow file's claim, and
# the sequence's next step moves the file to lost_files): every cow file the
# container had is still read at its name, with the same content.
lost=0
for dir in "$area" "$host/vz/private/102"; do
  while read -r sum path; do
    file=$(reads "$dir" "$path")
    if [ -z "$file" ] || [ "$(md5sum <"$file" | cut -d' ' -f1)" != "$sum" ]; then
      [ "$lost" -lt 5 ] && echo "FAIL: $dir: '$path' reads '${file:-nothing}', not the container's changed file"
      lost=$((lost + 1))
    fi
  done <"$tmp/before"
done
[ "$lost" -eq 0 ] || fail "$lost of $((2 * claimed)) changed files are no longer read at their names"
echo "all $claimed changed files of 101 still read at their names, in 101 and in its clone 102"
