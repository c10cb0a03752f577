#!/usr/bin/env bash
# Every program answers --help and --version on standard output and exits
# 0, with no display and no window (qvtune before its Qt application); a
# wrong option keeps each program's own answer. The version is the build's.
#
#   options_test.sh VERSION NAME=PROGRAM...
set -uo pipefail
version=$1
shift
declare -A program
for p in "$@"; do program[${p%%=*}]=${p#*=}; done

# program; arguments; exit status; first line of standard output; first line of standard error
cases=(
  "qvtune;--help;0;Usage: qvtune [OPTION]...;"
  "qvtune;--version;0;qvtune $version;"
  "qvtune;-platform offscreen --version;0;qvtune $version;"
  "qvline;--help;0;usage: qvline [OPTION]...;"
  "qvline;--version;0;qvline $version;"
  "qvline;--bogus;2;;qvline: unknown option \"--bogus\" (qvline --help lists the options)"
  "qvstats;--help;0;Usage: qvstats [--db FILE|CONNINFO] [--from YYYY-MM-DD] [--to YYYY-MM-DD] [--station NAME];"
  "qvstats;--version;0;qvstats $version;"
  "qvstats;--bogus;2;;qvstats: unknown option --bogus"
  "qvbench;--help;0;usage: qvbench [--echo] [--base-port N] [--ports-file PATH] [--print-ready] [--trace];"
  "qvbench;--version;0;qvbench $version;"
  "qvbench;--bogus;2;;usage: qvbench [--echo] [--base-port N] [--ports-file PATH] [--print-ready] [--trace]"
  "qvfirm;--help;0;usage: qvfirm --out DIR [--settings FILE];"
  "qvfirm;--version;0;qvfirm $version;"
  "qvfirm;--bogus;2;;usage: qvfirm --out DIR [--settings FILE]"
  "qvpack;--help;0;Usage: qvpack --program IN --out OUT --caption TEXT;"
  "qvpack;--version;0;qvpack $version;"
  "qvpack;--bogus;2;;qvpack: unknown argument '--bogus'"
)

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0
for c in "${cases[@]}"; do
  IFS=';' read -r name args status out err <<<"$c"
  read -ra argv <<<"$args"
  # No display, no platform: a program that opened a window would fail here.
  env -i PATH=/usr/bin:/bin HOME="$tmp" timeout 20 "${program[$name]}" "${argv[@]}" >"$tmp/out" 2>"$tmp/err"
  got=$?
  problems=()
  [ "$got" = "$status" ] || problems+=("exit status $got, not $status")
  [ "$(head -n1 "$tmp/out")" = "$out" ] || problems+=("standard output begins \"$(head -n1 "$tmp/out")\"")
  [ "$(head -n1 "$tmp/err")" = "$err" ] || problems+=("standard error begins \"$(head -n1 "$tmp/err")\"")
  if [ "$args" = --help ] && ! grep -q -- '--version' "$tmp/out"; then problems+=("--help does not list --version"); fi
  if [ "$args" != --help ] && [ "$status" = 0 ] && [ "$(wc -l <"$tmp/out")" != 1 ]; then
    problems+=("--version prints more than one line")
  fi
  if [ ${#problems[@]} -gt 0 ]; then
    failed=1
    printf '%s %s:\n' "$name" "$args"
    printf '  %s\n' "${problems[@]}"
  fi
done
[ $failed = 0 ] && echo "${#cases[@]} cases passed"
exit $failed
