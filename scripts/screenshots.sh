#!/bin/sh
# Builds the editor's Qt tests, runs them offscreen and lists the pictures of
# the dialogs they drove (saved under <build>/screenshots). Among them:
# config_port_com256.png (the port page showing COM256 and 19200 in full) and
# config_tree_long_label.png / config_tree_long_label_scrolled.png (a station
# label wider than the tree, with the horizontal scroll bar at both ends).
# Usage: scripts/screenshots.sh [build-dir]   (default: build/screenshots)
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/screenshots}
launcher=
if command -v ccache >/dev/null 2>&1; then
  launcher="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache"
fi
# shellcheck disable=SC2086  # the launcher options are meant to split
cmake -S "$root" -B "$build" -DDRAVIKNET_BENCH=OFF $launcher >/dev/null
cmake --build "$build" --target editor_qt_test editor_driver_test -j2
(cd "$build" && ctest -R 'editor_(qt|driver)_test' --output-on-failure)
ls -1 "$build"/screenshots/*.png
