#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing;
# "scripts/deps.sh fuzz" adds those of the fuzz targets: clang, libFuzzer's
# runtime (only recommended by clang, so named here) and the symbolizer for
# readable reports; "scripts/deps.sh windows" those of the Windows cross
# build and its tests; "scripts/deps.sh package" those that check the
# station's package (lintian, and man for its pages).
set -euo pipefail

# python3-serial and ser2net are peers the network port tests run against;
# gputils, binutils and srecord write the HEX files the firmware tests read;
# the unit records go to SQLite or PostgreSQL (libpq), their transcripts
# compressed with zstd, and the records' tests start a PostgreSQL server of
# their own; qvstats reads the records with SQLite and draws with Qt Charts
# (whose CMake package needs the OpenGL one, which it does not pull in);
# help2man makes the manual pages from the programs' --help; the
# traceability hashes firmware files with libcrypto (libssl-dev) and writes
# JSON with nlohmann-json.
packages=(cmake g++ make pkg-config googletest libgtest-dev libgmock-dev qt6-base-dev python3 python3-serial ser2net
  fonts-dejavu-core gputils binutils srecord libsqlite3-dev libpq-dev libzstd-dev postgresql qt6-charts-dev
  libqt6opengl6-dev help2man libssl-dev nlohmann-json3-dev)
if [ "${1:-}" = fuzz ]; then
  packages+=(clang-14 libclang-rt-14-dev llvm-14)
fi
# The Windows cross build (the POSIX thread model, for std::thread) and Wine
# to run its tests.
if [ "${1:-}" = windows ]; then
  packages+=(g++-mingw-w64-x86-64-posix wine64 wine)
fi
if [ "${1:-}" = package ]; then
  packages+=(lintian man-db)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
