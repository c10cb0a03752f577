#!/usr/bin/env bash
# The manual pages are made from --help by the build: each page renders
# without a warning, carries the program's version, and names every option
# that --help names. A page left behind by a changed --help fails here.
#
#   manpages_test.sh VERSION PAGES-DIR NAME=PROGRAM...
set -uo pipefail
version=$1 pages=$2
shift 2

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0
for p in "$@"; do
  name=${p%%=*} exe=${p#*=}
  page="$pages/$name.1.gz"
  problems=()
  if [ ! -f "$page" ]; then
    problems+=("no page $page")
  else
    MANWIDTH=80 MAN_KEEP_FORMATTING= man --warnings -l "$page" >"$tmp/text" 2>"$tmp/warnings" </dev/null ||
      problems+=("man -l failed")
    [ -s "$tmp/warnings" ] && problems+=("groff: $(head -n3 "$tmp/warnings")")
    # The page's source without fonts and escapes: \-\-units is --units.
    zcat "$page" | sed -e 's/\\f[BIRP]//g' -e 's/\\-/-/g' >"$tmp/source"
    grep -q "^\.TH .*\"$name $version\"" "$tmp/source" || problems+=("the page is not of $name $version")
    "$exe" --help 2>/dev/null | grep -o -- '--[a-z][a-z0-9-]*' | sort -u >"$tmp/options"
    [ -s "$tmp/options" ] || problems+=("$name --help names no option")
    while read -r option; do
      grep -q -- "$option\\b" "$tmp/source" || problems+=("the page lacks $option")
    done <"$tmp/options"
  fi
  if [ ${#problems[@]} -gt 0 ]; then
    failed=1
    echo "$name:"
    printf '  %s\n' "${problems[@]}"
  fi
done
[ $failed = 0 ] && echo "$# pages follow --help"
exit $failed
