#!/usr/bin/env bash
# Cross-builds DravikNet for an ARM gateway and runs its tests under qemu-user:
# the driver, the host stand-ins, the tools, the editor's toolkit-free logic
# and every test that needs no Qt, end-to-end runs over pseudo-terminals
# included. armhf is 32-bit ARM (32-bit pointers and long, unsigned char);
# arm64 is 64-bit ARM (unsigned char).
# Usage: scripts/cross-test.sh [armhf|arm64]   (default armhf)
# On a fresh Debian 12 it adds the target architecture to dpkg and installs
# the cross compiler, qemu-user and the target's libraries (through sudo when
# not root). The build goes to build/cross-<arch>.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

arch="${1:-armhf}"
case "$arch" in
  armhf|arm64) ;;
  *) echo "usage: $0 [armhf|arm64]" >&2; exit 2 ;;
esac

install_missing_packages
# A machine whose package index cannot give the target's libraries right now
# skips this step, loudly, and leaves the verdict to the rest of CI; a
# failure of the build or of the tests themselves still fails.
setup_status=0
cross_setup "$arch" || setup_status=$?
if [ "$setup_status" -eq 3 ]; then
  echo "SKIPPED $arch: cross packages not installable here: $DRAVIKNET_CROSS_PROBLEM"
  exit 0
elif [ "$setup_status" -ne 0 ]; then
  exit "$setup_status"
fi
qemu="$DRAVIKNET_CROSS_QEMU"

dir="$DRAVIKNET_ROOT/build/cross-$arch"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
started=$(date +%s)
echo "== $arch build ($dir)"
cmake -S "$DRAVIKNET_ROOT" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$DRAVIKNET_ROOT/cmake/toolchains/$arch.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRAVIKNET_WERROR=ON -DDRAVIKNET_EDITOR=OFF \
  -DDRAVIKNET_BENCH=OFF "${launcher[@]}" >/dev/null
cmake --build "$dir" -j "${DRAVIKNET_JOBS:-$(nproc)}"
built=$(date +%s)

# The tests themselves are started through the emulator by CTest, and the
# programs they start through it by the test harness; both load the target's
# libraries from its multiarch folders (see cmake/toolchains/debian-cross.cmake).
echo "== $arch tests under $qemu"
export QEMU_LD_PREFIX=/
(cd "$dir" && ctest --output-on-failure -j 2)
finished=$(date +%s)
# The case count comes from the log of the run (a later ctest call replaces it).
cases=$({ grep -ho '\[  PASSED  \] [0-9]* test' "$dir/Testing/Temporary/LastTest.log" || true; } |
  awk '{ n += $4 } END { print n + 0 }')
programs=$(cd "$dir" && ctest -N | sed -n 's/^Total Tests: //p')
echo "== $arch: $programs test programs, $cases test cases passed under $qemu;" \
  "build $((built - started)) s, tests $((finished - built)) s"
