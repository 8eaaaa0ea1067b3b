#!/usr/bin/env bash
# Times the example book's reports against the plain valuation, in one run:
#   1. kestrel book --greeks                          (the baseline)
#   2. kestrel book --greeks --ladder                 (spot ladders and spot x vol matrices)
#   3. kestrel book --greeks --report X.html --report X.xlsx
#      (ladders, matrices, the notes' statistics and both reports)
# Each figure is the fastest of --repeat K runs (default 3). The goal for 3 is
# under 10 s on the development machine.
#   bench/book_report_bench.sh [--cli PATH] [--repeat K] [extra kestrel book options, e.g. --paths 2000]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cli=$root/build/bin/kestrel
repeat=3
extra=()
while [ $# -gt 0 ]; do
  case $1 in
    --cli) cli=$2; shift 2 ;;
    --repeat) repeat=$2; shift 2 ;;
    *) extra+=("$1"); shift ;;
  esac
done
[ -x "$cli" ] || { echo "error: no kestrel program at $cli (build it, or pass --cli PATH)" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
book=("$cli" book "$root/examples/book.json" --market "$root/examples/market.json" --date 2024-12-31 --greeks
      ${extra[@]+"${extra[@]}"})

# Fastest wall time of `repeat` runs of the command, in seconds.
best() {
  local fastest=""
  for _ in $(seq "$repeat"); do
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null
    end=$(date +%s.%N)
    fastest=$(echo "$start $end ${fastest:-inf}" | awk '{t = $2 - $1; if ($3 == "inf" || t < $3) print t; else print $3}')
  done
  echo "$fastest"
}

plain=$(best "${book[@]}")
ladder=$(best "${book[@]}" --ladder)
reports=$(best "${book[@]}" --report "$work/book.html" --report "$work/book.xlsx")
printf '%-58s %8s\n' "example book (15 contracts), fastest of $repeat" seconds
printf '%-58s %8.2f\n' "book --greeks (baseline)" "$plain"
printf '%-58s %8.2f\n' "book --greeks --ladder" "$ladder"
printf '%-58s %8.2f\n' "book --greeks --report html --report xlsx (ladder, matrix)" "$reports"
printf 'reports / baseline: %.1fx; goal for the reports: under 10 s\n' "$(echo "$reports $plain" | awk '{print $1 / $2}')"
