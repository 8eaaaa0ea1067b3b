#!/usr/bin/env bash
# Installs the Debian packages kestrel needs to build, test and benchmark.
# Idempotent: packages already present are not downloaded again.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  libquantlib0-dev libboost-dev
  libsqlite3-dev sqlite3
  nlohmann-json3-dev
  libgtest-dev libgmock-dev googletest
  libbenchmark-dev
  librandom123-dev
  libhwy-dev  # Google Highway: the Monte Carlo kernels, dispatched at run time over the instruction sets
  libcli11-dev
  liblunar-date-dev libglib2.0-dev
  clang libclang-rt-14-dev
  pybind11-dev python3-pybind11 python3-dev python3-pytest python3-pandas python3-numpy
  quantlib-python  # QuantLib's own Python binding: the reference the Asian engine is checked against
  python3-distributed python3-dask openssl
  libxlsxwriter-dev  # the book's Excel report
  python3-openpyxl chromium  # reading the book's reports back in tests: the workbook, and the HTML page in a browser
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "setup: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq >/dev/null
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
