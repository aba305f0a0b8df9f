# Shared by the set-up scripts: install what is missing, configure and build.
# Sourced, not run.

DRAVIKNET_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
DRAVIKNET_PACKAGES=(cmake g++ make pkg-config libgtest-dev libgmock-dev googletest
  libbenchmark-dev nlohmann-json3-dev qt6-base-dev qt6-translations-l10n libgl-dev fonts-nanum xauth ccache clang libmodbus-dev libinih-dev
  mosquitto mosquitto-clients libmosquitto-dev openssl libcpp-httplib-dev chromium prometheus
  protobuf-c-compiler libprotobuf-c-dev protobuf-compiler python3-protobuf
  python3-pymodbus libsqlite3-dev zlib1g-dev
  nodejs python3 curl dpkg-dev lintian scdoc man-db systemd)
# From npm (the only package not from Debian): the browser driver of the
# status page test, into build/node, pinned.
DRAVIKNET_NODE_PACKAGES=(playwright-core@1.65.2)
# Target libraries of the ARM cross builds (scripts/cross-test.sh installs them
# as <name>:armhf or <name>:arm64). A library the build or the tests link goes
# here as well as above; header-only and architecture-independent packages
# (nlohmann-json3-dev) need only the list above.
DRAVIKNET_CROSS_PACKAGES=(libgtest-dev libgmock-dev libinih-dev libmosquitto-dev libcpp-httplib-dev
  libprotobuf-c-dev libmodbus-dev libsqlite3-dev zlib1g-dev)

# npm comes with some builds of nodejs; Debian's own nodejs needs the npm package.
install_node_packages() {
  [ -d "$DRAVIKNET_ROOT/build/node/node_modules/playwright-core" ] && return 0
  if ! command -v npm >/dev/null; then
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq npm
  fi
  echo "== installing from npm into build/node: ${DRAVIKNET_NODE_PACKAGES[*]}"
  npm install --prefix "$DRAVIKNET_ROOT/build/node" --no-audit --no-fund --silent \
    "${DRAVIKNET_NODE_PACKAGES[@]}"
}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

package_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# apt_update: refreshes the package index, trying twice. A failed update is
# a warning, not the end: a foreign architecture's index may be caught in a
# mirror sync while everything already indexed still installs. Whether what
# we need can be had is then for apt-get install to say.
apt_update() {
  local try
  for try in 1 2; do
    as_root apt-get update -qq && return 0
    echo "WARNING: apt-get update failed (try $try of 2)" >&2
    [ "$try" -eq 1 ] && sleep 5
  done
  echo "WARNING: going on with the package index as it stands" >&2
  return 0
}

# apt_reason <apt output file>: apt's reason for a failed install, as one
# line: the unmet dependencies first, then apt's error lines, each once.
apt_reason() {
  local lines
  lines=$({ grep -E '^ *[^ ]+ : (Pre)?Depends:' "$1"; grep -E '^E: ' "$1"; } |
    sed 's/^ *//' | awk '!seen[$0]++' | head -n 3 || true)
  [ -n "$lines" ] || lines=$(tail -n 1 "$1")
  printf '%s' "$lines" | tr '\n' ';' | sed 's/;/; /g'
}

# cross_setup <armhf|arm64>: sets DRAVIKNET_CROSS_TRIPLET and DRAVIKNET_CROSS_QEMU
# and installs what is missing for a cross build (used by cross-test.sh and
# package.sh): the cross compiler and the emulator for the build machine, the
# libraries of DRAVIKNET_CROSS_PACKAGES for the target (Debian multiarch:
# pkg:armhf), adding the architecture to dpkg first.
# Returns 3 when apt cannot install them (an index out of step upstream, a
# version skew between the architectures), with apt's reason in
# DRAVIKNET_CROSS_PROBLEM; the caller decides whether that stops it.
cross_setup() {
  local arch="$1"
  DRAVIKNET_CROSS_PROBLEM=""
  case "$arch" in
    armhf) DRAVIKNET_CROSS_TRIPLET=arm-linux-gnueabihf; DRAVIKNET_CROSS_QEMU=qemu-arm ;;
    arm64) DRAVIKNET_CROSS_TRIPLET=aarch64-linux-gnu; DRAVIKNET_CROSS_QEMU=qemu-aarch64 ;;
    *) echo "unknown architecture: $arch (armhf or arm64)" >&2; return 2 ;;
  esac
  local wanted=("g++-$DRAVIKNET_CROSS_TRIPLET" qemu-user "libc6:$arch" "libstdc++6:$arch")
  for p in "${DRAVIKNET_CROSS_PACKAGES[@]}"; do wanted+=("$p:$arch"); done
  local missing=()
  for p in "${wanted[@]}"; do package_installed "$p" || missing+=("$p"); done
  [ ${#missing[@]} -eq 0 ] && return 0
  if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    echo "== adding the $arch architecture to dpkg"
    as_root dpkg --add-architecture "$arch"
  fi
  echo "== installing: ${missing[*]}"
  apt_update
  local log status=0
  log=$(mktemp)
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" 2>&1 | tee "$log" ||
    status=$?
  if [ "$status" -ne 0 ]; then
    # Quiet apt names no unmet dependency; a simulated install does.
    as_root apt-get install -s "${missing[@]}" >>"$log" 2>&1 || true
    DRAVIKNET_CROSS_PROBLEM="$(apt_reason "$log")"
    rm -f "$log"
    return 3
  fi
  rm -f "$log"
}

install_missing_packages() {
  install_debian_packages && install_node_packages
}

install_debian_packages() {
  local missing=()
  for p in "${DRAVIKNET_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== installing: ${missing[*]}"
  apt_update
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
}

# build_tree <dir> [cmake options...]
build_tree() {
  local dir="$1"; shift
  local launcher=()
  # A compiler cache makes repeated builds (three sanitizer flavours, several
  # checkouts) cheap; the build works the same without one.
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  cmake -S "$DRAVIKNET_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRAVIKNET_WERROR=ON "${launcher[@]}" "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
}
