#!/usr/bin/env bash
# Builds DravikNet in Release mode (build/bench) and prints the end-to-end
# table: the driver's exchange rate and CPU per exchange over a pseudo-terminal
# against a minimal responder, beside a plain write/poll/read loop and
# libmodbus's RTU master measured in the same run; paced lines, latency, a
# quiet line's CPU and allocations per exchange. Figures, not pass/fail.
# Usage: scripts/bench.sh [seconds per row, default 3]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_missing_packages

seconds="${1:-3}"
dir="$DRAVIKNET_ROOT/build/bench"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S "$DRAVIKNET_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DDRAVIKNET_WERROR=ON \
  -DDRAVIKNET_EDITOR=OFF -DDRAVIKNET_BENCH=ON "${launcher[@]}" >/dev/null
cmake --build "$dir" -j 2 --target wire_bench draviknet TarselDbm WendroR Wendro >/dev/null
"$dir/bin/wire_bench" --seconds "$seconds"
