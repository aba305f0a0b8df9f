#!/usr/bin/env bash
# Builds the Debian packages of DravikNet for one architecture and checks
# them: draviknet (driver, host stand-ins, dravik-host, dravik-project,
# dravik-plcsim, systemd unit, /etc/draviknet, man pages) and, where Qt is
# there for the target, draviknet-editor. CPack's DEB generator makes them
# (cmake/DravikPackage.cmake from the install rules of
# cmake/DravikInstall.cmake); dependencies come from dpkg-shlibdeps.
# Usage: scripts/package.sh [amd64|armhf|arm64]   (default amd64)
# The packages land in build/package[-<arch>]/packages. Each is checked with
# lintian (an error fails the script), and the unpacked draviknet package runs
# `dravik-host info` and `dravik-project show` from its own /usr/bin (under
# qemu-user for ARM), so a RUNPATH or a layout that does not hold fails here.
# ARM packages use the cross toolchains of scripts/cross-test.sh; Debian
# ships no cross-built Qt for the build machine, so they hold no editor.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

arch="${1:-amd64}"
native="$(dpkg --print-architecture)"
install_missing_packages
toolchain=()
emulator=()
if [ "$arch" = "$native" ]; then
  dir="$DRAVIKNET_ROOT/build/package"
else
  cross_setup "$arch" ||
    { echo "cannot package for $arch: cross packages not installable here: $DRAVIKNET_CROSS_PROBLEM" >&2; exit 1; }
  dir="$DRAVIKNET_ROOT/build/package-$arch"
  toolchain=(-DCMAKE_TOOLCHAIN_FILE="$DRAVIKNET_ROOT/cmake/toolchains/$arch.cmake")
  emulator=("$DRAVIKNET_CROSS_QEMU" -L /)
fi

# Debian's build flags for the target (hardening: stack protector, fortify,
# relro, bindnow, PIE). CMake reads CFLAGS/CXXFLAGS/LDFLAGS, not CPPFLAGS.
eval "$(DEB_HOST_ARCH="$arch" DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
export CFLAGS="$CFLAGS $CPPFLAGS"
export CXXFLAGS="$CXXFLAGS $CPPFLAGS"
export LDFLAGS

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
echo "== $arch package build ($dir)"
cmake -S "$DRAVIKNET_ROOT" -B "$dir" "${toolchain[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_INSTALL_PREFIX=/usr -DDRAVIKNET_WERROR=ON -DDRAVIKNET_BENCH=OFF \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON "${launcher[@]}" >/dev/null
grep -q '^DRAVIKNET_SCDOC:FILEPATH=/' "$dir/CMakeCache.txt" || { echo "scdoc is missing: no man pages" >&2; exit 1; }
# Only what the packages hold (no tests): the install step then needs no more.
cmake --build "$dir" -j "${DRAVIKNET_JOBS:-$(nproc)}" --target draviknet-packaged
rm -rf "$dir/packages"
(cd "$dir" && cpack -G DEB >/dev/null)

debs=("$dir"/packages/*.deb)
status=0
for deb in "${debs[@]}"; do
  echo "== $(basename "$deb")"
  dpkg-deb -f "$deb" Depends
  # --fail-on error: warnings are listed (see README, "Install on a gateway
  # box", for the ones that stay and why) but do not fail the build.
  lintian --fail-on error "$deb" || status=1
done
[ $status -eq 0 ] || { echo "lintian found errors" >&2; exit 1; }

# The unpacked package, run from its own tree: the programs must find the
# driver and the libraries through their RUNPATHs and the /usr/bin link alone.
root="$(mktemp -d)"
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$dir"/packages/draviknet_*_"$arch".deb "$root"
env -u LD_LIBRARY_PATH "${emulator[@]}" "$root/usr/bin/dravik-host" info
env -u LD_LIBRARY_PATH "${emulator[@]}" "$root/usr/bin/dravik-project" import \
  "$root/usr/share/doc/draviknet/examples/demo_project.json" -o "$root/demo.dvk" >/dev/null
env -u LD_LIBRARY_PATH "${emulator[@]}" "$root/usr/bin/dravik-project" show "$root/demo.dvk" | head -3
echo "== packages for $arch in $dir/packages:"
ls -l "$dir"/packages/*.deb
