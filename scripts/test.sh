#!/usr/bin/env bash
# Builds DravikNet and runs every test: a normal build, then the same suite
# under AddressSanitizer+UndefinedBehaviorSanitizer and under ThreadSanitizer,
# then builds the libFuzzer targets with clang and runs each for 30 s, then the
# non-Qt suite cross-built for 32-bit ARM and run under qemu-user
# (scripts/cross-test.sh armhf), then the amd64 Debian packages
# (scripts/package.sh), installed, used and removed again
# (scripts/package-install-test.sh).
# Usage: scripts/test.sh [normal|asan|tsan|fuzz|cross-armhf|cross-arm64|package ...]
#        (default: normal asan tsan fuzz cross-armhf package)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_missing_packages

builds=("$@")
[ ${#builds[@]} -eq 0 ] && builds=(normal asan tsan fuzz cross-armhf package)

run_suite() {
  local name="$1" dir="$DRAVIKNET_ROOT/build/$1"; shift
  echo "== $name build"
  build_tree "$dir" "$@"
  echo "== $name tests"
  (cd "$dir" && ctest --output-on-failure -j 2 "${CTEST_EXTRA[@]}")
}

# The README's first command, in a short form: the demo must show values, a
# station lost and restored, and end cleanly.
demo_smoke() {
  echo "== demo (short)"
  local log="$DRAVIKNET_ROOT/build/demo-smoke.log"
  "$DRAVIKNET_ROOT/scripts/demo.sh" --for 8 >"$log" 2>&1 || { cat "$log"; return 1; }
  for want in "value Counter" "통신할 수 없습니다" "정상적으로 복구되었습니다" "summary:"; do
    grep -q "$want" "$log" || { cat "$log"; echo "demo output lacks: $want" >&2; return 1; }
  done
  echo "demo ok ($(grep -c ' value ' "$log") value lines)"
}

# The README's gateway steps as the demo takes them, for 10 s: a subscriber
# sees the gateway online, values with their station and quality, station
# states, and the operator's write acknowledged by the PLC.
demo_mqtt_smoke() {
  echo "== demo --mqtt (10 s)"
  local log="$DRAVIKNET_ROOT/build/demo-mqtt-smoke.log"
  "$DRAVIKNET_ROOT/scripts/demo.sh" --mqtt --for 10 >"$log" 2>&1 || { cat "$log"; return 1; }
  for want in "draviknet/demo/status online" '"station":"PLC1","quality":"good"' \
      "draviknet/demo/station/PLC1/state" 'tag/Setpoint/set/result {"ok":true' '"id":"scada-1"'; do
    grep -qF "$want" "$log" || { cat "$log"; echo "demo --mqtt output lacks: $want" >&2; return 1; }
  done
  echo "demo --mqtt ok ($(grep -c '^draviknet/demo/tag/' "$log") tag messages shown)"
}

# One minute of the soak under ASan: a lost port, demotion and faults of every
# kind with the sanitizers watching. RSS is reported, not limited (ASan keeps
# freed memory in quarantine).
asan_soak() {
  echo "== soak (1 minute, ASan)"
  ASAN_OPTIONS=detect_odr_violation=0:detect_leaks=1 \
    "$DRAVIKNET_ROOT/scripts/soak.sh" --build "$DRAVIKNET_ROOT/build/asan" --minutes 1 \
    --max-rss-growth-kb 0
}

for b in "${builds[@]}"; do
  CTEST_EXTRA=()
  case "$b" in
    normal) run_suite normal; demo_smoke; demo_mqtt_smoke ;;
    asan)   ASAN_OPTIONS=detect_leaks=1 run_suite asan -DDRAVIKNET_SANITIZE=address -DDRAVIKNET_BENCH=OFF
            asan_soak ;;
    # Qt itself is not built with TSan; its widget tests run in the other two builds.
    tsan)   CTEST_EXTRA=(-LE qt); TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
              run_suite tsan -DDRAVIKNET_SANITIZE=thread -DDRAVIKNET_BENCH=OFF ;;
    # Every fuzz target on its corpus for 30 s; a crash stops the script.
    fuzz)   echo "== fuzz build and runs"; "$DRAVIKNET_ROOT/scripts/fuzz.sh" 30 "$DRAVIKNET_ROOT/build/fuzz" ;;
    cross-armhf|cross-arm64) "$DRAVIKNET_ROOT/scripts/cross-test.sh" "${b#cross-}" ;;
    # The amd64 packages, lintian, then installed, used and purged again.
    package) "$DRAVIKNET_ROOT/scripts/package.sh" amd64; "$DRAVIKNET_ROOT/scripts/package-install-test.sh" ;;
    *) echo "unknown build: $b" >&2; exit 2 ;;
  esac
done
echo "== all tests passed (${builds[*]})"
