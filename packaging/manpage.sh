#!/bin/sh
# manpage.sh PROGRAM WHATIS INCLUDE OUT: the manual page of PROGRAM, made
# from its --help and --version by help2man, compressed as Debian wants it.
# help2man takes a synopsis only after "Usage:", which some of the programs
# spell "usage:"; a shim in front of the program mends that one word.
set -eu
program=$1 whatis=$2 include=$3 out=$4
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
shim="$tmp/$(basename "$program")"
printf '#!/bin/sh\n"%s" "$@" | sed "1s/^usage:/Usage:/"\n' "$program" >"$shim"
chmod +x "$shim"
help2man --no-info --name="$whatis" --include="$include" --output="$tmp/page" "$shim"
gzip -9n <"$tmp/page" >"$out"
