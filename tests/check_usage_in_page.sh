#!/usr/bin/env bash
# Every option and action word of a tool's usage text (what "-h" prints)
# must be documented in its manual page as a
# list item: ".It ... Fl x", ".It ... Fl -name" or ".It ... Cm word".
# usage: check_usage_in_page.sh TOOL PAGE
set -uo pipefail
tool=$1
page=$2

# The specified tools print it on standard error with status 2; a tool whose
# help is a request rather than an error prints it on standard output with 0.
usage=$("$tool" -h 2>&1 >/dev/null)
status=$?
if [ "$status" -eq 0 ]; then
  usage=$("$tool" -h 2>/dev/null)
fi
if { [ "$status" -ne 2 ] && [ "$status" -ne 0 ]; } || [ -z "$usage" ]; then
  echo "$tool -h: status $status, usage text: '$usage' (expected a usage text)"
  exit 1
fi

items=()
# Short options, alone or in clusters: -t, [-hqvV].
while read -r cluster; do
  cluster=${cluster#*-}
  for ((i = 0; i < ${#cluster}; i++)); do items+=("-${cluster:i:1}"); done
done < <(grep -oE '(^|[[:space:][])-[A-Za-z]+' <<<"$usage")
# Long options; --c<all|cow> stands for --call and --ccow.
while read -r long; do
  if [[ $long =~ ^--([A-Za-z-]*)\<([^>]*)\>$ ]]; then
    IFS='|' read -ra alts <<<"${BASH_REMATCH[2]}"
    for alt in "${alts[@]}"; do items+=("--${BASH_REMATCH[1]}$alt"); done
  else
    items+=("$long")
  fi
done < <(grep -oE -- '--[A-Za-z][A-Za-z-]*(<[^>]*>)?' <<<"$usage")
# Option names listed as "name,alias   text".
while read -r a b; do
  items+=("--$a" "--$b")
done < <(sed -nE 's/^[[:space:]]+([A-Za-z]+),([A-Za-z]+)[[:space:]].*/\1 \2/p' <<<"$usage")
# Action words: (ignore|move|remove), [do|ignore].
while read -r group; do
  IFS='|' read -ra words <<<"${group:1:${#group}-2}"
  for w in "${words[@]}"; do items+=("word:$w"); done
done < <(grep -oE '[[(][a-z]+(\|[a-z]+)+[])]' <<<"$usage")

mapfile -t items < <(printf '%s\n' "${items[@]}" | sort -u)
if [ "${#items[@]}" -lt 5 ]; then
  echo "only ${#items[@]} options found in the usage text of $tool: ${items[*]}"
  exit 1
fi

# The page's list items, with escaped hyphens made plain.
list=$(grep -E '^\.It( |$)' "$page" | sed 's/\\-/-/g')
missing=()
for item in "${items[@]}"; do
  case $item in
    word:*) pattern="Cm ${item#word:}" ;;
    *) pattern="Fl ${item#-}" ;;
  esac
  grep -qE "(^| )${pattern}( |$)" <<<"$list" || missing+=("${item#word:}")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "$(basename "$page"): not documented as list items: ${missing[*]}"
  exit 1
fi
echo "$(basename "$page") documents every option and word of the usage text: ${items[*]#word:}"
