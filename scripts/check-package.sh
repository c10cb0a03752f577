#!/usr/bin/env bash
# The station's package as a station PC gets it, on a machine where it may
# be installed and taken away again (CI, as root): built and checked with
# lintian (scripts/package.sh), installed with apt-get, which pulls in what
# it depends on, and used from its installed place by two operators who are
# not root: the window (offscreen) writes its settings in the program
# folder, qvline runs one unit against the installed qvbench, qvstats reads
# the unit's record, and every manual page renders. Then the package is
# removed and purged, which must leave nothing behind but the system group
# qvtune, which Debian keeps. Takes about three minutes, most of it the
# unit in real time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ "$(id -u)" -eq 0 ] || { echo "check-package.sh installs and purges a package: run it as root" >&2; exit 2; }
if dpkg-query -W -f='${Status}' qvtune 2>/dev/null | grep -q "ok installed"; then
  echo "check-package.sh: qvtune is installed on this machine already; it would be purged" >&2
  exit 2
fi

dir=/opt/qvtune
operators=(qvop1 qvop2)
tmp=$(mktemp -d)
chmod 755 "$tmp"
bench= window=
# A failed run leaves the machine as it found it, but for the group.
cleanup() {
  set +e
  for p in $bench $window; do kill -KILL "$p" 2>/dev/null && wait "$p" 2>/dev/null; done
  for u in "${operators[@]}"; do id "$u" >/dev/null 2>&1 && userdel -r "$u" 2>/dev/null; done
  dpkg-query -W qvtune >/dev/null 2>&1 && dpkg --purge qvtune >/dev/null 2>&1
  rm -rf "$tmp"
}
trap cleanup EXIT
step() { echo "== package: $*"; }
fail() {
  echo "check-package.sh: $*" >&2
  exit 1
}
# Commands run as an operator, from a login's environment. Arrays rather
# than a function: a process started in the background must be the
# program itself, for its signals and its status.
as1=(setpriv --reuid="${operators[0]}" --regid="${operators[0]}" --init-groups --reset-env)
as2=(setpriv --reuid="${operators[1]}" --regid="${operators[1]}" --init-groups --reset-env)
# Waits until process $1 handles SIGTERM (its handler is in place).
await_term_handler() {
  local mask
  for _ in $(seq 400); do
    mask=$(awk '/^SigCgt:/ {print $2}' "/proc/$1/status" 2>/dev/null) || return 1
    [ -n "$mask" ] && (((16#$mask >> 14) & 1)) && return 0
    sleep 0.05
  done
  return 1
}

step "build and lintian"
"$root/scripts/package.sh" | tee "$tmp/package.log"
deb=$(grep '\.deb$' "$tmp/package.log")

watched=(/opt /usr/bin /usr/share/applications /usr/share/icons/hicolor /usr/share/man/man1 /usr/share/doc
  /usr/share/lintian/overrides /lib/udev/rules.d /etc /home /var/lib/dpkg/statoverride)
# Names only: the group file keeps its new line, and backups (group-) come and go.
snapshot() { find "${watched[@]}" -xdev 2>/dev/null | grep -v -e '-$' | sort; }
snapshot >"$tmp/before"
dpkg-statoverride --list | sort >"$tmp/overrides-before"

step "install $deb"
cp "$deb" "$tmp/"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$tmp/$(basename "$deb")" >"$tmp/apt.log" 2>&1 ||
  { cat "$tmp/apt.log"; fail "the package does not install"; }
grep -A8 '^qvtune: add each operator' "$tmp/apt.log" || fail "the post-install says nothing of the groups"

# The package holds the install's files, with their modes, and nothing else.
dpkg -L qvtune >"$tmp/files"
while read -r f; do [ -d "$f" ] || stat -c '%a %n' "$f"; done <"$tmp/files" | sed 's| /| |' | sort -k2 >"$tmp/installed"
diff <(grep -v '^#' "$root/tests/packaging/layout.txt") "$tmp/installed" || fail "the package's files differ from layout.txt"
[ "$(stat -c '%U %G %a' "$dir")" = "root qvtune 2775" ] || fail "$dir is $(stat -c '%U %G %a' "$dir"), not root qvtune 2775"

for u in "${operators[@]}"; do useradd --create-home --shell /bin/sh --groups dialout,qvtune "$u"; done

step "the window, as ${operators[0]}"
"${as1[@]}" env QT_QPA_PLATFORM=offscreen qvtune >"$tmp/window.log" 2>&1 &
window=$!
await_term_handler "$window" || { cat "$tmp/window.log"; fail "the window did not start"; }
kill -TERM "$window"
status=0
wait "$window" || status=$?
window=
[ "$status" -eq 0 ] || { cat "$tmp/window.log"; fail "the window ended with $status on SIGTERM"; }
[ "$(stat -c '%U %G %a' "$dir/qvtune.INI" 2>/dev/null)" = "${operators[0]} qvtune 664" ] ||
  fail "the window's settings are not in $dir/qvtune.INI, the operator's and writable for the group qvtune"

step "qvline, one unit against qvbench, as ${operators[1]}"
start=$SECONDS
"${as2[@]}" qvfirm --out "$dir"
"${as2[@]}" qvbench --ports-file "$dir/qvtune.ports" --units 1 --print-ready </dev/null >"$tmp/ready" &
bench=$!
for _ in $(seq 100); do
  [ -s "$tmp/ready" ] && break
  kill -0 "$bench" 2>/dev/null || fail "qvbench did not start"
  sleep 0.1
done
"${as2[@]}" qvline --golden server --no-restore --dongle-port COM31 --server-port COM32 \
  --modem-fw "$dir/qvmodem.qpf" --handheld-fw "$dir/qvhandheld.qpf" --units 1 --no-progress >"$tmp/line.log" 2>&1 ||
  { tail -n 30 "$tmp/line.log"; fail "qvline did not tune the unit"; }
kill "$bench"
wait "$bench" || true
bench=
echo "one unit in $((SECONDS - start)) s"
"${as1[@]}" sh -c 'qvstats --export-csv "$HOME/units"' >"$tmp/stats.log" 2>&1 || true
grep -qx '1 units exported of 1' "$tmp/stats.log" || { cat "$tmp/stats.log"; fail "qvstats does not read the unit's record"; }

# What each operator made in the program folder stays writable for the other.
ls -l "$dir"
programs=$(grep -o 'opt/qvtune/.*' "$root/tests/packaging/layout.txt" | sed 's|^|/|')
for f in "$dir"/*; do
  grep -qx "$f" <<<"$programs" && continue
  [ -n "$(find "$f" -group qvtune -perm -g+w)" ] || fail "$f is not the group qvtune's to write"
done

step "manual pages"
for page in $(grep '/man1/' "$tmp/files"); do
  "${as1[@]}" env MANPAGER=cat MANWIDTH=80 man --warnings -l "$page" >/dev/null 2>"$tmp/man.err" ||
    fail "man -l $page failed"
  [ ! -s "$tmp/man.err" ] || { cat "$tmp/man.err"; fail "$page renders with warnings"; }
done

step "remove and purge"
for u in "${operators[@]}"; do userdel -r "$u" 2>/dev/null; done
dpkg --remove qvtune >/dev/null
[ -f "$dir/qvtune.INI" ] || fail "removing the package (not purging) took the operators' settings"
dpkg --purge qvtune >/dev/null
getent group qvtune >/dev/null || fail "purging took the system group qvtune"
[ ! -e "$dir" ] || fail "$dir is still there after purging"
diff "$tmp/overrides-before" <(dpkg-statoverride --list | sort) || fail "purging left a stat override"
# Whatever came besides belongs to the packages apt-get pulled in.
snapshot | comm -13 "$tmp/before" - | while read -r f; do
  dpkg -S "$f" >/dev/null 2>&1 || echo "$f"
done >"$tmp/left"
comm -23 "$tmp/before" <(snapshot) >"$tmp/gone"
[ ! -s "$tmp/left" ] || { cat "$tmp/left"; fail "purging left the files above"; }
[ ! -s "$tmp/gone" ] || { cat "$tmp/gone"; fail "installing and purging took the files above"; }
echo "the package installs, serves two operators and purges cleanly"
