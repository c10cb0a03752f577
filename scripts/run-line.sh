#!/usr/bin/env bash
# qvline against the device bench in one command: builds everything, puts
# the bench's firmware beside the program (as the main job does), starts
# qvbench on loopback with its ports in the port map, runs qvline with the
# arguments given (for example --restore --units 3 --json) and stops the
# bench. The exit status is qvline's. "--bench-stations N" first serves N
# stations on one radio channel (COM31/COM32, COM33/COM34, ...) for a line
# of stations.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh" build -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2

bench_args=()
if [ "${1:-}" = --bench-stations ]; then
  bench_args=(--stations "$2")
  shift 2
fi

bin="$root/build"
"$bin/bench/qvfirm/qvfirm" --out "$bin" --settings "$bin/qvtune.INI" >&2

ready=$(mktemp)
# In a session of its own: Ctrl+C is for qvline (Cancel), whose server
# restore still needs the bench.
setsid "$bin/bench/qvbench/qvbench" "${bench_args[@]}" --ports-file "$bin/qvtune.ports" --print-ready </dev/null >"$ready" &
bench=$!
trap 'kill "$bench" 2>/dev/null || true; wait "$bench" 2>/dev/null || true; rm -f "$ready"' EXIT
for _ in $(seq 100); do
  [ -s "$ready" ] && break
  kill -0 "$bench" 2>/dev/null || { echo "qvbench did not start" >&2; exit 1; }
  sleep 0.1
done
status=0
"$bin/qvline" "$@" || status=$?
exit "$status"
