#!/usr/bin/env bash
# Sets up the machine, builds the kestrel command line and the Python package
# in build/, values the example book (examples/book.json: every product on the
# bundled CSI 300, CSI 500, CSI 1000 and Kweichow Moutai history) with its
# Greeks as of 2024-12-31, writes its HTML report (build/report.html: tables,
# ladder charts and spot x vol heat maps) and says where it is, keeps that run
# and the one of 2024-12-30 in a scratch database (build/example-runs.db) and
# prints the P&L explained between them, and ends with the line that makes
# `import kestrel` work.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTREL_BUILD:-$root/build}

step() { echo "== $*" >&2; }

step "setting up: the Debian packages the build needs (scripts/setup.sh)"
bash "$root/scripts/setup.sh"
step "configuring $build"
cmake -G Ninja -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTREL_BUILD_CLI=ON -DKESTREL_BUILD_PYTHON=ON \
  >/dev/null
step "building the kestrel command and the Python package (a few minutes the first time)"
# Ninja's progress, one line redrawn in place on a terminal: [done/total] what it builds.
NINJA_STATUS="[%f/%t %p] " cmake --build "$build" -j 2 --target kestrel kestrel_python
step "valuing the example book with its Greeks as of 2024-12-31, writing its report"
status=0
runs=$build/example-runs.db
rm -f "$runs"
"$build/bin/kestrel" book "$root/examples/book.json" --market "$root/examples/market.json" \
  --greeks --date 2024-12-30 --save "$runs" >/dev/null 2>&1 || status=$?
"$build/bin/kestrel" book "$root/examples/book.json" --market "$root/examples/market.json" \
  --greeks --date 2024-12-31 --report "$build/report.html" --save "$runs" || status=$?
echo
echo "report: $build/report.html (open it in a browser; it prints on A4)"
echo
"$build/bin/kestrel" explain --db "$runs" --from 2024-12-30 --to 2024-12-31 || status=$?
python=$(sed -n 's/^Python3_EXECUTABLE:[A-Z]*=//p' "$build/CMakeCache.txt")
echo
echo "export PYTHONPATH=$build/python  # then \"import kestrel\" works in ${python:-python3}"
exit "$status"
