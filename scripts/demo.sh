#!/usr/bin/env bash
# The live demo: builds DravikNet, starts a simulated PLC line on a new
# pseudo-terminal (two stations, animated values), builds a project from
# samples/demo_project.json and runs the host harness on it for about twenty
# seconds: values change, a write takes effect, a station is disabled and
# enabled again, and an outage on the line is reported and recovered.
# With --mqtt the harness also runs as the MQTT gateway, following the README's
# steps "From a fresh machine to a subscriber seeing values": a private
# mosquitto broker is started on a free local port, an operator's write
# arrives through tag/Setpoint/set and is answered on set/result, and what a
# subscriber sees (mosquitto_sub -v) is shown. scripts/test.sh runs it for 10 s.
# With --http the harness also serves its status page on a free loopback port:
# the URL is printed (open it in a browser while the demo runs), and a look at
# /metrics and /api/v1/stations is shown half way through.
# Usage: scripts/demo.sh [--for SECONDS] [--mqtt] [--http]   (Ctrl-C ends it early)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

run_for=20
use_mqtt=0
use_http=0
while [ $# -gt 0 ]; do
  case "$1" in
    --for) run_for="${2:?--for needs seconds}"; shift 2 ;;
    --mqtt) use_mqtt=1; shift ;;
    --http) use_http=1; shift ;;
    *) echo "usage: scripts/demo.sh [--for SECONDS] [--mqtt] [--http]" >&2; exit 2 ;;
  esac
done

install_missing_packages
echo "== building (build/normal)"
build_tree "$DRAVIKNET_ROOT/build/normal" >/dev/null
bin="$DRAVIKNET_ROOT/build/normal/bin"

work="$(mktemp -d /tmp/draviknet-demo-XXXXXX)"
sim_pid=""
broker_pid=""
sub_pid=""
cleanup() {
  for p in $sub_pid $broker_pid $sim_pid; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null; done
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
# The file name without its extension is the MQTT topic prefix: draviknet/demo.
"$bin/dravik-project" import "$DRAVIKNET_ROOT/samples/demo_project.json" -o "$work/demo.dvk"
"$bin/dravik-project" show "$work/demo.dvk"

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

mqtt_args=()
if [ "$use_mqtt" = 1 ]; then
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$port" >"$work/mosquitto.conf"
  echo "== starting mosquitto on 127.0.0.1:$port"
  mosquitto -c "$work/mosquitto.conf" >"$work/mosquitto.log" 2>&1 &
  broker_pid=$!
  for _ in $(seq 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.1
  done
  mosquitto_sub -h 127.0.0.1 -p "$port" -v -t 'draviknet/#' >"$work/subscriber.txt" &
  sub_pid=$!
  mqtt_args=(--mqtt "mqtt://127.0.0.1:$port" --mqtt-writes)
  # The SCADA side writes the set point through the broker a while in.
  ( sleep $(( run_for * 30 / 100 + 1 )); \
    mosquitto_pub -h 127.0.0.1 -p "$port" -t draviknet/demo/tag/Setpoint/set \
      -m '{"value": 4321, "id": "scada-1"}' ) &
fi

http_args=()
if [ "$use_http" = 1 ]; then
  http_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  http_args=(--http "127.0.0.1:$http_port")
  echo "== status page: http://127.0.0.1:$http_port/  (metrics: /metrics, JSON: /api/v1/stations, /api/v1/tags)"
  ( sleep $(( run_for / 2 )); \
    echo "== curl /metrics (reads and states)"; \
    curl -s "http://127.0.0.1:$http_port/metrics" | grep -E '^draviknet_(reads_total|station_state.* 1$|port_open)'; \
    echo "== curl /api/v1/stations"; curl -s "http://127.0.0.1:$http_port/api/v1/stations"; echo ) &
fi

echo "== running dravik-host for ${run_for}s"
DRAVIKNET_PORTS="$work/ports" DRAVIKNET_CONFIG="$work/draviknet.conf" "$bin/dravik-host" run "$work/demo.dvk" \
  --tags "$DRAVIKNET_ROOT/samples/demo_tags.csv" --for "$run_for" "${mqtt_args[@]}" "${http_args[@]}" < <(operator)

if [ "$use_mqtt" = 1 ]; then
  sleep 0.5
  echo "== what a subscriber saw (mosquitto_sub -v -t 'draviknet/#'), first 40 and last 15 lines"
  head -n 40 "$work/subscriber.txt"
  echo "   ..."
  tail -n 15 "$work/subscriber.txt"
  echo "== write results (tag/<TAG>/set/result)"
  grep '/set/result ' "$work/subscriber.txt" || echo "(none)"
  echo "== retained now on the broker (a fresh subscriber)"
  mosquitto_sub -h 127.0.0.1 -p "$port" -v -t 'draviknet/#' -W 1 2>/dev/null || true
fi
