#!/usr/bin/env bash
# Builds the updater and opens it under Wine. With a display it opens on it;
# without one it runs on an Xvfb display of its own and saves a screenshot of
# the main window in the folder it names.
#
# The program talks to a real programming unit through the system's HID
# interfaces; with none plugged in it shows its waiting state.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target orvanto-updater

exe=build/windows/orvanto-updater.exe
if [ -n "${DISPLAY:-}" ]; then
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  exec wine "$exe"
fi

shots=build/windows/screenshots
tools/with-wine.sh build/windows/wine-prefix-run -- \
  tools/screenshot-window.sh "$exe" "$shots/run-main.png"
echo "No display: the updater ran on its own Xvfb display; its window is in $shots/run-main.png"
