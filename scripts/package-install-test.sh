#!/usr/bin/env bash
# The amd64 packages as a plant integrator meets them (scripts/package.sh
# builds them and fails on a lintian error): installed with apt, dravik-host
# from /usr/bin with no build tree and no LD_LIBRARY_PATH, a run against the
# installed simulator that shows values, the man page, then remove (the
# conffiles stay, with the user's edit) and purge (they go). It changes the
# machine, so it purges the packages again however it ends.
# Usage: scripts/package-install-test.sh   (after scripts/package.sh amd64)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

PKG_TMP=""
PKG_SIM=""
package_cleanup() {
  [ -n "$PKG_SIM" ] && { kill "$PKG_SIM" 2>/dev/null || true; }
  DEBIAN_FRONTEND=noninteractive as_root apt-get purge -y -qq draviknet-editor draviknet \
    >/dev/null 2>&1 || true
  [ -n "$PKG_TMP" ] && rm -rf "$PKG_TMP"
  PKG_SIM="" PKG_TMP=""
}

main() {
  echo "== package install test"
  local pkgdir="$DRAVIKNET_ROOT/build/package/packages"
  PKG_TMP="$(mktemp -d)"
  local tmp="$PKG_TMP"
  trap package_cleanup EXIT
  fail() { echo "package install test: $*" >&2; exit 1; }

  DEBIAN_FRONTEND=noninteractive as_root apt install -y -qq "$pkgdir"/draviknet_*_amd64.deb \
    "$pkgdir"/draviknet-editor_*_amd64.deb >"$tmp/apt.log" 2>&1 || { cat "$tmp/apt.log"; fail "apt install"; }
  env -u LD_LIBRARY_PATH /usr/bin/dravik-host info >"$tmp/info" || fail "dravik-host info"
  grep -q '0x10000' "$tmp/info" || { cat "$tmp/info"; fail "dravik-host info printed no version"; }
  id -nG draviknet | tr ' ' '\n' | grep -qx dialout || fail "user draviknet is not in group dialout"
  man -w dravik-host >/dev/null || fail "man -w dravik-host"
  local security
  cp /usr/lib/systemd/system/dravik-host@.service "$tmp/dravik-host@line1.service"
  security=$(cd "$tmp" && systemd-analyze security --offline=yes dravik-host@line1.service 2>/dev/null |
    sed -n 's/.*Overall exposure level for dravik-host@line1.service: \([0-9.]*\).*/\1/p')
  awk -v s="$security" 'BEGIN { exit !(s != "" && s <= 4.0) }' || fail "unit exposure ${security:-unknown} > 4.0"

  # A line as the installed programs run it, in private folders.
  export DRAVIKNET_PORTS="$tmp/ports" DRAVIKNET_CONFIG="$tmp/draviknet.conf"
  mkdir "$DRAVIKNET_PORTS"
  local examples=/usr/share/doc/draviknet/examples
  /usr/bin/dravik-project import "$examples/demo_project.json" -o "$tmp/demo.dvk" >/dev/null ||
    fail "dravik-project import"
  /usr/bin/dravik-plcsim --pty --ports-dir "$DRAVIKNET_PORTS" --station 1 2 --animate >"$tmp/sim.log" 2>&1 &
  PKG_SIM=$!
  for _ in $(seq 50); do [ -e "$DRAVIKNET_PORTS/COM1" ] && break; sleep 0.1; done
  env -u LD_LIBRARY_PATH /usr/bin/dravik-host run "$tmp/demo.dvk" --tags "$examples/demo_tags.csv" \
    --for 3 </dev/null >"$tmp/run.log" 2>&1 || { cat "$tmp/run.log"; fail "dravik-host run"; }
  grep -q ' value Counter = ' "$tmp/run.log" || { cat "$tmp/run.log"; fail "no values from the run"; }
  kill "$PKG_SIM"; wait "$PKG_SIM" 2>/dev/null || true; PKG_SIM=""
  unset DRAVIKNET_PORTS DRAVIKNET_CONFIG

  echo "; edited by the install test" | as_root tee -a /etc/draviknet/draviknet.conf >/dev/null
  DEBIAN_FRONTEND=noninteractive as_root apt remove -y -qq draviknet-editor draviknet >/dev/null 2>&1 ||
    fail "apt remove"
  [ ! -e /usr/bin/dravik-host ] || fail "/usr/bin/dravik-host is still there after remove"
  grep -q 'edited by the install test' /etc/draviknet/draviknet.conf || fail "remove lost the edited conffile"
  [ -e /etc/draviknet/ports/README ] && [ -e /etc/draviknet/lines/README ] || fail "remove lost a conffile"
  DEBIAN_FRONTEND=noninteractive as_root apt purge -y -qq draviknet >/dev/null 2>&1 || fail "apt purge"
  [ ! -e /etc/draviknet ] || fail "/etc/draviknet is still there after purge"
  echo "package ok ($(grep -c ' value ' "$tmp/run.log") value lines from the installed dravik-host," \
    "unit exposure $security)"
  package_cleanup
  trap - EXIT
}

main
