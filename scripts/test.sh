#!/usr/bin/env bash
# Sets up the machine, builds everything in build-ci/ (Ninja, warnings as
# errors) and runs the whole test suite through CTest.
#   scripts/test.sh [extra ctest arguments, e.g. -L heron]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTREL_CI_BUILD:-$root/build-ci}

bash "$root/scripts/setup.sh"
cmake -G Ninja -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTREL_WERROR=ON >/dev/null
cmake --build "$build" -j 2
cd "$build"
ctest --output-on-failure -j 2 "$@"
