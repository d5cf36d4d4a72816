#!/usr/bin/env bash
# The bash completions of the tools, run as bash-completion runs them: each
# case gives the words of a command line (the last one is being completed)
# and the replies expected, in order.
# usage: check_completions.sh COMPLETIONS_DIR
completions=$1
main=/usr/share/bash-completion/bash_completion
[ -r "$main" ] || { echo "bash-completion is not installed"; exit 77; }
# shellcheck disable=SC1090
source "$main"
for tool in kxfsutil kxfsdirindex kxfsclone kxfsinspect; do source "$completions/$tool"; done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
_kxfs_conf_dir=$tmp/conf
mkdir -p "$tmp/conf" "$tmp/areas/a101" "$tmp/areas/a102"
touch "$tmp/conf/101.conf" "$tmp/conf/102.conf" "$tmp/conf/0.conf" \
      "$tmp/conf/ve-template.conf" "$tmp/areas/afile"
cd "$tmp/areas" || exit 1

failed=0
# expect "COMMAND LINE" "EXPECTED REPLIES": the line is completed at its
# end; its words are split as readline splits them, "=" a word of its own.
expect() {
  local line=$1 token part
  local -a words=()
  for token in $line; do
    while [[ $token == *=* ]]; do
      part=${token%%=*}
      [ -n "$part" ] && words+=("$part")
      words+=("=")
      token=${token#*=}
    done
    [ -n "$token" ] && words+=("$token")
  done
  [[ $line == *' ' ]] && words+=("")
  COMP_WORDS=("${words[@]}")
  COMP_CWORD=$((${#words[@]} - 1))
  COMP_LINE=$line
  COMP_POINT=${#line}
  COMPREPLY=()
  "_${words[0]}" "${words[0]}" "${words[COMP_CWORD]}" "${words[COMP_CWORD - 1]}"
  local got
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ')
  got=${got% }
  if [ "$got" != "$2" ]; then
    echo "FAIL: '$line': got '$got', expected '$2'"
    failed=1
  fi
}

expect "kxfsutil --cm"                   "--cmark --cmark="
expect "kxfsutil --call=r"               "remove"
expect "kxfsutil --oall="                "do ignore"
expect "kxfsutil --ctid=10"              "101 102"
expect "kxfsutil --ctid 1"               "101 102"
expect "kxfsutil --call -t a"            "a101 a102"
expect "kxfsutil --call -t /kx a"        "a101 a102"
expect "kxfsutil --up"                   "--upgrade"
expect "kxfsdirindex -t /kx "            "a101 a102"
expect "kxfsdirindex --ma"               "--magic"
expect "kxfsclone "                      "101 102"
expect "kxfsclone -s 101 "               "101 102"
expect "kxfsclone 101 102 "              ""
expect "kxfsclone -c 102 "               ""
expect "kxfsclone -sc 102 "              ""
expect "kxfsclone --co"                  "--correct"
expect "kxfsutil --no"                   "--no-readahead"
expect "kxfsdirindex --n"                "--no-readahead"
expect "kxfsclone --no"                  "--no-readahead"
expect "kxfsinspect "                    "area dirindex entry pointer"
expect "kxfsinspect --json e"            "entry"
expect "kxfsinspect entry -t /kx a"      "a101 a102"
expect "kxfsinspect pointer --"          "--json"
expect "kxfsinspect area -"              "--json -t -v"
[ "$failed" -eq 0 ] && echo "completions: all cases pass"
exit "$failed"
