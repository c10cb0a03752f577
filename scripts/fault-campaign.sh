#!/usr/bin/env bash
# The fault campaign's long run (CI runs a bounded sample, see .ci/run):
# whole units on the in-process bench with one fault each, and stations of
# qvline's runner with their records, killed with SIGKILL at random moments.
#
#   scripts/fault-campaign.sh [--runs N] [--kills N] [--seed S] [--verbose]
#
# Defaults: 10000 runs and 10000 kill runs from seed 20261208. Builds
# build/tests/fault_campaign first; prints the counts by fault and every
# violation with its seed (replay one with --runs 1 --seed S, or --runs 0
# --kills 1 --seed S); exits 1 on any.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
args=(--runs 10000 --kills 10000)
if [ $# -gt 0 ]; then args=("$@"); fi
[ -d "$root/build" ] || "$root/scripts/build.sh" build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$root/build" -j "$(nproc)" --target fault_campaign
exec "$root/build/tests/fault_campaign" "${args[@]}"
