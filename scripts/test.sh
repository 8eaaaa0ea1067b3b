#!/usr/bin/env bash
# Sets up the machine, then:
#  1. builds everything in build-ci/ (Ninja, g++, warnings as errors) and runs
#     the whole test suite through CTest (the reports' tests in a headless
#     browser and through openpyxl included);
#     then packs the Debian package from that build and checks it
#     (scripts/check_package.sh: contents against the README, Depends, and the
#     command, `import kestrel` and tests/consumer run from its unpacked files);
#  2. builds again in build-ci-asan/ with clang, AddressSanitizer and
#     UndefinedBehaviorSanitizer (any report aborts the test that made it) and
#     runs the whole suite again under them;
#  3. runs each libFuzzer target for a bounded time on that sanitizer build.
#   scripts/test.sh [extra ctest arguments, e.g. -L heron]
# KESTREL_FUZZ_SECONDS (default 60) sets the time per fuzz target; 0 skips it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTREL_CI_BUILD:-$root/build-ci}
asan=${KESTREL_CI_ASAN_BUILD:-$root/build-ci-asan}
fuzz_seconds=${KESTREL_FUZZ_SECONDS:-60}

bash "$root/scripts/setup.sh"

echo "== build and test (Release, warnings as errors)"
# Configured for /usr so that the Debian package is packed from this build.
cmake -G Ninja -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTREL_WERROR=ON -DCMAKE_INSTALL_PREFIX=/usr -DKESTREL_PYTHON_INSTALL_DIR= >/dev/null
cmake --build "$build" -j 2
# setup.sh installs chromium and openpyxl: the reports' read-back tests must be there, not skipped.
for t in report.browser report.xlsx; do
  if ! (cd "$build" && ctest -N -R "^${t//./\\.}\$" | grep -q "Total Tests: 1"); then
    echo "error: test $t is not registered (is chromium or python3-openpyxl missing?)" >&2
    exit 1
  fi
done
(cd "$build" && ctest --output-on-failure -j 2 "$@")

echo "== Debian package: packed from that build, unpacked into a scratch root and used from there"
deb=$(KESTREL_PACKAGE_BUILD="$build" bash "$root/scripts/package.sh" | tail -1)
bash "$root/scripts/check_package.sh" "$deb" "$build"

echo "== build and test under AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -G Ninja -S "$root" -B "$asan" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKESTREL_SANITIZE=ON -DKESTREL_BUILD_FUZZ=ON -DKESTREL_BUILD_BENCH=OFF -DKESTREL_BUILD_PYTHON=OFF >/dev/null
cmake --build "$asan" -j 2
(cd "$asan" && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j 2 "$@")

if [ "$fuzz_seconds" -gt 0 ]; then
  echo "== fuzzing, ${fuzz_seconds}s per target"
  KESTREL_FUZZ_BUILD="$asan" bash "$root/scripts/fuzz.sh" "$fuzz_seconds"
fi
