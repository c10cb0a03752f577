#!/usr/bin/env bash
# Cross-builds everything that needs no Qt for 64-bit Windows (mingw-w64)
# into build-mingw/ and runs its tests under Wine, the serial tests against
# COM ports that Wine maps to pseudo-terminals.
#
#   scripts/run-windows-tests.sh                  # build, then every test program
#   scripts/run-windows-tests.sh serial_tests [gtest arguments...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-mingw"
wine_dir="$build/wine"

"$root/scripts/deps.sh" windows

cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQV_BUILD_APP=OFF -DQV_GTEST_SOURCE=/usr/src/googletest -DQV_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"

# The modem shim is a Linux library: it stands in front of the ioctl calls
# of Wine's serial driver, which runs in Wine's own (Linux) process.
mkdir -p "$wine_dir/ports" "$wine_dir/modem"
g++ -std=c++20 -O2 -shared -fPIC -o "$wine_dir/libqvmodemshim.so" "$root/tests/support/modemshim/ModemShim.cpp" -ldl

export WINEPREFIX="$wine_dir/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# The COM ports the tests point at their pseudo-terminals (tests/support/PtyWine.cpp).
export QV_WINE_PORTS="COM5 COM6 COM7 COM8" QV_WINE_PORTS_DIR="$wine_dir/ports" QV_MODEM_SHIM="$wine_dir/modem"

# Wine maps the COM ports of its registry when it starts, so the prefix is
# made and mapped first and Wine started afresh after.
if [ ! -f "$WINEPREFIX/.qv-ports" ]; then
  wineserver -k 2>/dev/null || true
  wineboot -i >/dev/null 2>&1
  for port in $QV_WINE_PORTS; do
    wine reg add 'HKLM\Software\Wine\Ports' /v "$port" /t REG_SZ /d "$QV_WINE_PORTS_DIR/$port" /f >/dev/null 2>&1
  done
  wineserver -w
  touch "$WINEPREFIX/.qv-ports"
fi
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
# One server for all the programs, its object dumps kept out of the output.
LD_PRELOAD="$wine_dir/libqvmodemshim.so" wineserver -p 2>/dev/null
trap 'wineserver -k 2>/dev/null || true' EXIT

run() {
  local program=$1
  shift
  echo "== Wine: $program"
  LD_PRELOAD="$wine_dir/libqvmodemshim.so" timeout 900 wine "$build/tests/$program.exe" "$@" 2>/dev/null
}

if [ $# -gt 0 ]; then
  run "$@"
  exit
fi

status=0
for program in serial_tests link_tests procedure_tests firmware/firmware_tests firmware/loading_tests bench/bench_tests \
  detection_tests programming_tests; do
  run "$program" || status=1
done
# Test cycles and whole units in virtual time hand over between threads at
# every byte, and each hand-over costs Wine a round trip to its server (a
# test cycle takes four seconds here): a sample of them runs here, each
# golden side and a whole run with its restore and with Cancel, all of them
# in the Linux build.
run tuning_tests --gtest_filter='Tuning.WorkedExampleWithItsExactLines:Tuning.ValuesThatDecideWhatIsStoredAreReadTwice:Crystals/Agreement.*/HandheldMinus1:Crystals/Agreement.*/ServerMinus31' || status=1
run unit_run_tests --gtest_filter='UnitRun.TwoUnitsThenTheServerRestoredOnce:UnitRun.CancelDuringTheUnitStillRestoresTheServer' || status=1
exit $status
