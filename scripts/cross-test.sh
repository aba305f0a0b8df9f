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
  armhf) triplet=arm-linux-gnueabihf; qemu=qemu-arm ;;
  arm64) triplet=aarch64-linux-gnu; qemu=qemu-aarch64 ;;
  *) echo "usage: $0 [armhf|arm64]" >&2; exit 2 ;;
esac

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

package_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# The cross compiler and the emulator for the build machine, the libraries of
# DRAVIKNET_CROSS_PACKAGES for the target (Debian multiarch: pkg:armhf).
install_cross_packages() {
  local wanted=("g++-$triplet" qemu-user "libc6:$arch" "libstdc++6:$arch")
  for p in "${DRAVIKNET_CROSS_PACKAGES[@]}"; do wanted+=("$p:$arch"); done
  local missing=()
  for p in "${wanted[@]}"; do package_installed "$p" || missing+=("$p"); done
  [ ${#missing[@]} -eq 0 ] && return 0
  if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    echo "== adding the $arch architecture to dpkg"
    as_root dpkg --add-architecture "$arch"
  fi
  echo "== installing: ${missing[*]}"
  as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq "${missing[@]}"
}

install_missing_packages
install_cross_packages

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
