#!/usr/bin/env bash
# The live demo: builds DravikNet, starts a simulated PLC line on a new
# pseudo-terminal (two stations, animated values), builds a project from
# samples/demo_project.json and runs the host harness on it for about twenty
# seconds: values change, a write takes effect, a station is disabled and
# enabled again, and an outage on the line is reported and recovered.
# Usage: scripts/demo.sh [--for SECONDS]   (Ctrl-C ends it early)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

run_for=20
if [ "${1:-}" = "--for" ] && [ -n "${2:-}" ]; then run_for="$2"; fi

install_missing_packages
echo "== building (build/normal)"
build_tree "$DRAVIKNET_ROOT/build/normal" >/dev/null
bin="$DRAVIKNET_ROOT/build/normal/bin"

work="$(mktemp -d /tmp/draviknet-demo-XXXXXX)"
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# The outage: from 55% of the run, for 20% of it, every reply is garbled.
outage_at=$(( run_for * 55 / 100 ))
outage_len=$(( run_for / 5 > 1 ? run_for / 5 : 1 ))
echo "== starting the PLC simulator (stations 1 and 2, animated; outage at ${outage_at}s for ${outage_len}s)"
"$bin/dravik-plcsim" --pty --ports-dir "$work/ports" --com 1 --station 1 2 --animate \
  --outage "$outage_at:$outage_len:checksum" --for $(( run_for + 10 )) >"$work/plcsim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 50); do [ -e "$work/ports/COM1" ] && break; sleep 0.1; done
[ -e "$work/ports/COM1" ] || { echo "simulator did not start:"; cat "$work/plcsim.log"; exit 1; }

echo "== building the project from samples/demo_project.json"
"$bin/dravik-project" import "$DRAVIKNET_ROOT/samples/demo_project.json" -o "$work/demo.dat"
"$bin/dravik-project" show "$work/demo.dat"

# What an operator does meanwhile, on the harness's stdin.
operator() {
  local t=$run_for
  sleep $(( t * 15 / 100 )); echo "write Setpoint 1234"; echo "write Lamp 1"; echo "write Label HEY!"
  sleep $(( t * 10 / 100 )); echo "disable PLC2"
  sleep $(( t * 15 / 100 )); echo "stats PLC2"; echo "enable PLC2"
  sleep $(( t * 10 / 100 )); echo "texts PLC1"
  sleep $(( t * 35 / 100 )); echo "stats"
  sleep $(( t + 5 ))  # keep stdin open; the harness ends at --for
}

echo "== running dravik-host for ${run_for}s"
DRAVIKNET_PORTS="$work/ports" "$bin/dravik-host" run "$work/demo.dat" \
  --tags "$DRAVIKNET_ROOT/samples/demo_tags.csv" --for "$run_for" < <(operator)
