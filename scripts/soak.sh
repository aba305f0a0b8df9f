#!/usr/bin/env bash
# A long run of one line against the simulator: ten stations with mixed blocks
# and about a hundred tags, a fifth of all replies faulty (every kind), one
# port loss and return, one station switched off for a while with demotion on,
# and a write every second. Prints a summary and fails when a check fails
# (counter identity against the replies the simulator sent in time, writes,
# every delivered value against what the simulator held, messages 16/17, RSS
# growth). Some replies come after the driver gave up on them (3.4 s).
#
# Usage: scripts/soak.sh [--minutes M] [--build DIR] [--seed N] [--max-rss-growth-kb K]
#        scripts/soak.sh --silent-station [--seconds S] [--demote-seconds D] [--build DIR]
# The build folder defaults to build/normal (configured and built when needed).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

build="$DRAVIKNET_ROOT/build/normal"
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build="$2"; shift 2 ;;
    --minutes|--seconds|--seed|--max-rss-growth-kb|--demote-seconds) args+=("$1" "$2"); shift 2 ;;
    --silent-station) args+=("$1"); shift ;;
    -h|--help) sed -n '2,13p' "$0"; exit 0 ;;
    *) echo "soak.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$DRAVIKNET_ROOT" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRAVIKNET_WERROR=ON \
    -DDRAVIKNET_EDITOR=OFF >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target dravik-soak draviknet >/dev/null
cd "$build/bin"
exec ./dravik-soak "${args[@]}"
