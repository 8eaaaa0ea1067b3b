#!/usr/bin/env bash
# Sets up the machine, builds the kestrel command line in build/ and values
# the example book (examples/book.json: every product on the bundled CSI 300,
# CSI 500, CSI 1000 and Kweichow Moutai history) with its Greeks as of
# 2024-12-31.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTREL_BUILD:-$root/build}

bash "$root/scripts/setup.sh"
cmake -G Ninja -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTREL_BUILD_CLI=ON >/dev/null
cmake --build "$build" -j 2 --target kestrel >/dev/null
"$build/bin/kestrel" book "$root/examples/book.json" --market "$root/examples/market.json" \
  --greeks --date 2024-12-31
