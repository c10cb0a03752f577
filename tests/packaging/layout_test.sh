#!/usr/bin/env bash
# The install puts every file where the package says (layout.txt), the
# wrappers on the PATH start the programs in the program folder, and the
# programs started through a link elsewhere keep their files beside the
# real program: the window writes its settings there, qvline and qvstats
# look for theirs there.
#
#   layout_test.sh BUILD-DIR LAYOUT
set -uo pipefail
build=$1 layout=$2

tmp=$(mktemp -d)
window=
trap '[ -n "$window" ] && kill -KILL "$window" 2>/dev/null; rm -rf "$tmp"' EXIT
root="$tmp/root" dir="$tmp/root/opt/qvtune"
failed=0
fail() {
  echo "$*"
  failed=1
}

cmake --install "$build" --prefix "$root" >"$tmp/install.log" || {
  cat "$tmp/install.log"
  exit 1
}
diff <(grep -v '^#' "$layout") <(cd "$root" && find . -type f -printf '%m %P\n' -o -type l -printf 'link %P\n' | sort -k2) ||
  fail "the install differs from $layout (< expected, > installed)"

for wrapper in "$root"/usr/bin/*; do
  name=$(basename "$wrapper")
  grep -qx 'umask 002' "$wrapper" || fail "$name: the wrapper keeps the operator's umask"
  grep -qx "exec /opt/qvtune/$name \"\$@\"" "$wrapper" || fail "$name: the wrapper does not start /opt/qvtune/$name"
  sh -n "$wrapper" || fail "$name: the wrapper is no shell script"
done

mkdir -p "$tmp/bin" "$tmp/work"
for name in qvtune qvline qvstats; do ln -s "$dir/$name" "$tmp/bin/$name"; done
cd "$tmp/work"
touch firmware

# Their files are looked for beside the real program, not the link nor the
# working folder.
"$tmp/bin/qvline" --modem-fw firmware --handheld-fw firmware --no-records >/dev/null 2>"$tmp/line.err"
grep -qF "the test firmware file \"$dir/qvftune.qpf\"" "$tmp/line.err" ||
  fail "qvline through a link: $(cat "$tmp/line.err")"
QT_QPA_PLATFORM=offscreen "$tmp/bin/qvstats" --export-csv "$tmp/work/units" >/dev/null 2>"$tmp/stats.err"
grep -qF "$dir/qvtune.records" "$tmp/stats.err" || fail "qvstats through a link: $(cat "$tmp/stats.err")"

# The window, closed by SIGTERM once it handles it, writes its settings
# beside the real program.
QT_QPA_PLATFORM=offscreen "$tmp/bin/qvtune" >"$tmp/window.log" 2>&1 &
window=$!
caught=
for _ in $(seq 400); do
  mask=$(awk '/^SigCgt:/ {print $2}' "/proc/$window/status" 2>/dev/null) || break
  if [ -n "$mask" ] && (((16#$mask >> 14) & 1)); then
    caught=1
    break
  fi
  sleep 0.05
done
if [ -z "$caught" ]; then
  fail "the window never took SIGTERM: $(cat "$tmp/window.log")"
else
  kill -TERM "$window"
  wait "$window"
  status=$?
  window=
  [ "$status" = 0 ] || fail "the window ended with $status on SIGTERM: $(cat "$tmp/window.log")"
  [ "$(tr -d '\r' <"$dir/qvtune.INI" 2>/dev/null | wc -l)" = 10 ] || fail "no settings file of ten lines at $dir/qvtune.INI"
  leftovers=$(ls "$tmp/bin" "$tmp/work" | grep -c INI)
  [ "$leftovers" = 0 ] || fail "the window wrote settings beside the link or in the working folder"
fi

[ $failed = 0 ] && echo "the install is as $layout says"
exit $failed
