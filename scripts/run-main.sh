#!/usr/bin/env bash
# The main job: builds everything and runs the exchange benchmark, which
# drives the serial component over a pseudo-terminal pair against a raw
# termios loop.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh" build -DCMAKE_BUILD_TYPE=RelWithDebInfo
"$root/build/tests/exchange_bench"
