#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UBSan) and runs
# each for a bounded time, printing executions and findings.
#   scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 60)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build=${KESTREL_FUZZ_BUILD:-$here/build-fuzz}

bash "$here/scripts/setup.sh"
if [ -f "$build/CMakeCache.txt" ]; then
  # An existing sanitizer build (e.g. the test script's): just make sure the
  # fuzz targets are on.
  cmake "$build" -DKESTREL_BUILD_FUZZ=ON >/dev/null
else
  cmake -G Ninja -S "$here" -B "$build" \
    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKESTREL_SANITIZE=ON -DKESTREL_BUILD_FUZZ=ON \
    -DKESTREL_BUILD_TESTS=OFF -DKESTREL_BUILD_BENCH=OFF -DKESTREL_BUILD_CLI=OFF -DKESTREL_BUILD_PYTHON=OFF >/dev/null
fi
if ! cmake --build "$build" --target $(cd "$here/fuzz" && ls *_fuzz.cpp | sed 's/\.cpp$//') >"$build/fuzz-build.log" 2>&1; then
  tail -n 40 "$build/fuzz-build.log"
  exit 1
fi

status=0
for src in "$here"/fuzz/*_fuzz.cpp; do
  name=$(basename "$src" .cpp)
  corpus_seed="$here/fuzz/corpus/${name%_fuzz}"
  work=$(mktemp -d)
  cp -r "$corpus_seed"/. "$work"/ 2>/dev/null || true
  artifacts="$build/artifacts/$name/"
  mkdir -p "$artifacts"
  log="$build/$name.log"
  set +e
  ASAN_OPTIONS=detect_leaks=0 "$build/bin/$name" "$work" -max_total_time="$seconds" -timeout=20 \
    -rss_limit_mb=4096 -artifact_prefix="$artifacts" -print_final_stats=1 >"$log" 2>&1
  rc=$?
  set -e
  execs=$(grep -E "^stat::number_of_executed_units" "$log" | awk "{print \$2}" || true)
  findings=$(ls "$artifacts" | wc -l)
  echo "$name: ${execs:-0} executions in ${seconds}s, $findings finding(s) (exit $rc)"
  if [ "$rc" -ne 0 ] || [ "$findings" -ne 0 ]; then
    status=1
    tail -n 30 "$log"
    ls "$artifacts"
  fi
  rm -rf "$work"
done
exit $status
