#!/usr/bin/env bash
# Builds the Debian package of kestrel: configures a Release build for /usr in
# build-deb/ (the command line, the libraries, the Python package; no tests or
# benchmarks), builds it and runs `cpack -G DEB`, which writes
# kestrel_<version>_<arch>.deb into that folder and prints its path last.
#   scripts/package.sh
# KESTREL_PACKAGE_BUILD=<dir> packs an existing build instead (it must be
# configured with -DCMAKE_INSTALL_PREFIX=/usr, as scripts/test.sh's is).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTREL_PACKAGE_BUILD:-}

if [ -z "$build" ]; then
  build=$root/build-deb
  bash "$root/scripts/setup.sh"
  cmake -G Ninja -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DKESTREL_PYTHON_INSTALL_DIR= \
    -DKESTREL_BUILD_CLI=ON -DKESTREL_BUILD_PYTHON=ON -DKESTREL_BUILD_TESTS=OFF -DKESTREL_BUILD_BENCH=OFF >/dev/null
  cmake --build "$build" -j "$(nproc)"
fi
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:[A-Z]*=//p' "$build/CMakeCache.txt")
if [ "$prefix" != /usr ]; then
  echo "error: $build is configured for $prefix; the package wants -DCMAKE_INSTALL_PREFIX=/usr" >&2
  exit 1
fi
rm -f "$build"/kestrel_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/kestrel_*.deb
