#!/bin/sh
# Builds the editor's Qt tests, runs them offscreen and lists the pictures of
# the dialogs they drove (saved under <build>/screenshots).
# Usage: scripts/screenshots.sh [build-dir]
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-screenshots}
cmake -S "$root" -B "$build" -DDRAVIKNET_BENCH=OFF >/dev/null
cmake --build "$build" --target editor_qt_test editor_driver_test -j2
(cd "$build" && ctest -R 'editor_(qt|driver)_test' --output-on-failure)
ls -1 "$build"/screenshots/*.png
