#!/usr/bin/env bash
# Builds DravikNet and runs every test: a normal build, then the same suite
# under AddressSanitizer+UndefinedBehaviorSanitizer and under ThreadSanitizer.
# Usage: scripts/test.sh [normal|asan|tsan ...]   (default: all three)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_missing_packages

builds=("$@")
[ ${#builds[@]} -eq 0 ] && builds=(normal asan tsan)

run_suite() {
  local name="$1" dir="$DRAVIKNET_ROOT/build/$1"; shift
  echo "== $name build"
  build_tree "$dir" "$@"
  echo "== $name tests"
  (cd "$dir" && ctest --output-on-failure -j 2 "${CTEST_EXTRA[@]}")
}

for b in "${builds[@]}"; do
  CTEST_EXTRA=()
  case "$b" in
    normal) run_suite normal ;;
    asan)   ASAN_OPTIONS=detect_leaks=1 run_suite asan -DDRAVIKNET_SANITIZE=address -DDRAVIKNET_BENCH=OFF ;;
    # Qt itself is not built with TSan; its widget tests run in the other two builds.
    tsan)   CTEST_EXTRA=(-LE qt); TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
              run_suite tsan -DDRAVIKNET_SANITIZE=thread -DDRAVIKNET_BENCH=OFF ;;
    *) echo "unknown build: $b" >&2; exit 2 ;;
  esac
done
echo "== all tests passed (${builds[*]})"
