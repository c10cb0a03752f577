#!/usr/bin/env bash
# The station PC's packages, built into build/ by one command: the Debian
# package qvtune_VERSION_ARCH.deb and the portable archive
# qvtune-VERSION-linux-ARCH.tar.gz (one program folder, to unpack where the
# operator may write), then lintian on the Debian package, which fails on
# any error. Prints the two files.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh" package
"$root/scripts/build.sh" build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cd "$root/build"
rm -f qvtune_*.deb qvtune-*.tar.gz
cpack >cpack.log 2>&1 || { cat cpack.log; exit 1; }
deb=$(ls qvtune_*.deb)
tgz=$(ls qvtune-*.tar.gz)
# The one tag overridden, with its reason: packaging/lintian-overrides.
lintian --fail-on error "$deb"
echo "$root/build/$deb"
echo "$root/build/$tgz"
