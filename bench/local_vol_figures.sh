#!/bin/sh
# The local volatility's worked example: the 6-month snowball and phoenix on
# the SSE 50 ETF from 2023-12-04 (spot 2.367, r 2 %, forwards from put-call
# parity; knock-in 85 % daily, knock-out 100 % monthly): fair coupon at the
# at-the-money implied volatility and under the local volatility calibrated
# to the day's options, on mc, qmc and pde, and the time of one npv under each
# (one thread). Usage: bench/local_vol_figures.sh BUILD_DIR [PATHS]
set -eu
B=${1:-build}
PATHS=${2:-200000}
K="$B/bin/kestrel"
HERE=$(cd "$(dirname "$0")/.." && pwd)
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
ATM=${ATM:-0.151}
# The flat market keeps the quotes' forwards (the calibrated parity forwards).
cat > "$T/flat.json" <<JSON
{"r": 0.02, "underlyings": {"510050.XSHG": {"spot": 2.367, "vol": $ATM,
 "q": {"forwards": [["2023-12-27", 2.37291], ["2024-01-24", 2.37864], ["2024-03-27", 2.39297], ["2024-06-26", 2.41462]]}}}}
JSON
for type in snowball phoenix; do
  cat > "$T/$type.json" <<JSON
{"type": "$type", "effect_date": "2023-12-04", "maturity_date": "2024-06-04", "underlying": "510050.XSHG",
 "s0": 2.367, "notional": 1.0, "strike": 2.367, "ki_barrier": 2.01195, "ko_barrier": 2.367, "coupon_rate": 0.07,
 "ki_obs_freq": "daily", "ko_obs_freq": "monthly", "obs_start_date": "2023-12-04", "obs_end_date": "2024-06-04"}
JSON
  for engine in mc qmc pde; do
    for market in flat local; do
      M="$T/flat.json"; [ "$market" = local ] && M="$HERE/examples/market_local_vol.json"
      printf '%s %s %s ' "$type" "$engine" "$market"
      "$K" price "$T/$type.json" --market "$M" --date 2023-12-04 --engine "$engine" --paths "$PATHS" \
        --threads 1 --fair-coupon | tr -d '\n'
      start=$(date +%s.%N)
      "$K" price "$T/$type.json" --market "$M" --date 2023-12-04 --engine "$engine" --paths "$PATHS" \
        --threads 1 >/dev/null
      end=$(date +%s.%N)
      echo " npv_seconds $(echo "$end - $start" | bc)"
    done
  done
done
