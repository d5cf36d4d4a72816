#!/usr/bin/env bash
# No program or library of the build looks for libraries in the working
# directory: every run path entry is absolute or below $ORIGIN (an empty or
# relative entry is read from the working directory), and each program run
# with -V from a directory holding a damaged libstdc++.so.6 still starts.
# usage: check_runpath.sh PROGRAM... -- FILE...
#   PROGRAMs are run and checked, FILEs only checked.
set -uo pipefail
programs=() files=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do programs+=("$1"); shift; done
[ $# -gt 0 ] && shift
files=("$@")

failed=0
for f in "${programs[@]}" "${files[@]}"; do
  paths=$(readelf -d "$f" | sed -n 's/.*(R\(UN\)\{0,1\}PATH).*\[\(.*\)\]$/\2/p')
  [ -z "$paths" ] && continue
  IFS=: read -ra entries <<<"$paths:"
  # read drops one final empty field: the extra ':' keeps a real one.
  for e in "${entries[@]}"; do
    case $e in
      /* | '$ORIGIN' | '$ORIGIN/'*) ;;
      *) echo "FAIL: $f: run path '$paths' has the entry '$e'"; failed=1; break ;;
    esac
  done
done

cwd=$(mktemp -d)
trap 'rm -rf "$cwd"' EXIT
echo "not a library" >"$cwd/libstdc++.so.6"
for p in "${programs[@]}"; do
  out=$(cd "$cwd" && "$p" -V 2>&1) ||
    { echo "FAIL: $p run from $cwd: $out"; failed=1; }
done
[ "$failed" -eq 0 ] && echo "run paths of ${#programs[@]} programs and ${#files[@]} files: no working directory"
exit "$failed"
