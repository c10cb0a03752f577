#!/usr/bin/env bash
# The main job: builds everything, starts the device bench (a dongle with a
# handheld behind it and a server, served as network serial ports COM31 and
# COM32 on loopback and listed in the port map beside the program), then the
# window. Press Start, then Ok: the bench's dongle and server are found and
# initialised, and the firmware files beside the program are loaded and
# decoded. The bench stops when the window closes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh" build -DCMAKE_BUILD_TYPE=RelWithDebInfo

bin="$root/build"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ "${QT_QPA_PLATFORM:-}" != offscreen ]; then
  cat >&2 <<MSG
qvtune is built ($bin/qvtune), but this machine has no display to show its window.
Run the main job from a desktop session, or under a virtual X server:
  apt-get install xvfb x11vnc     # then:
  xvfb-run -a -s "-screen 0 1024x768x24" scripts/run-main.sh
and look at the window with a VNC viewer (x11vnc -display :99), or run it on any
machine with a display. The tests need no display: scripts/run-tests.sh
MSG
  exit 1
fi

# The bench's firmware beside the program: the two test firmware files the
# tool reads from there, and the production files, which a new settings file
# offers in the file lists (an existing one is left as it is).
"$bin/bench/qvfirm/qvfirm" --out "$bin" --settings "$bin/qvtune.INI"

ready=$(mktemp)
"$bin/bench/qvbench/qvbench" --ports-file "$bin/qvtune.ports" --print-ready </dev/null >"$ready" &
bench=$!
trap 'kill "$bench" 2>/dev/null || true; wait "$bench" 2>/dev/null || true; rm -f "$ready"' EXIT
for _ in $(seq 100); do
  [ -s "$ready" ] && break
  kill -0 "$bench" 2>/dev/null || { echo "qvbench did not start" >&2; exit 1; }
  sleep 0.1
done
cat "$ready"
"$bin/qvtune"
