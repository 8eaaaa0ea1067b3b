#!/usr/bin/env bash
# Sets up the machine, builds the kestrel command line in build/ and values
# the example contract (examples/vanilla.json) with its Greeks on the bundled
# CSI 300 history.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTREL_BUILD:-$root/build}

bash "$root/scripts/setup.sh"
cmake -G Ninja -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTREL_BUILD_CLI=ON >/dev/null
cmake --build "$build" -j 2 --target kestrel >/dev/null
"$build/bin/kestrel" price "$root/examples/vanilla.json" \
  --spot 3936.0791 --r 0.018 --vol 0.2 --q 0.015 --date 2025-06-30 --greeks
