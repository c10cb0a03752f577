#!/usr/bin/env bash
# Configures and builds into the folder given (default: build), passing any
# further arguments to cmake's configure step.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-build}
shift || true
"$root/scripts/deps.sh"
cmake -S "$root" -B "$root/$dir" "$@"
cmake --build "$root/$dir" -j "$(nproc)"
