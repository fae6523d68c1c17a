#!/usr/bin/env bash
# Builds the updater and runs its demo under Wine: the same program, with an
# emulated programming unit in place of a USB one and a control window to plug
# it in and out, choose what it is, and arm faults.
#
# With a display it opens the demo there. Without one it starts its own Xvfb
# and walks through a scripted tour (no unit, unit plugged, update to success
# with the real waits, a failure, then the same in German), saving a PNG of
# each stage in the folder it names at the end. Takes about a minute and a half.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target orvanto-updater-demo orvanto-updater

demo=build/windows/orvanto-updater-demo.exe
if [ -n "${DISPLAY:-}" ]; then
  exec tools/with-wine.sh build/windows/wine-prefix-run --display -- wine "$demo"
fi

tour=build/windows/tour
rm -rf "$tour"
mkdir -p "$tour"
status=0
tools/with-wine.sh build/windows/wine-prefix-run -- bash -c '
  wine "'"$demo"'" --tour "$(winepath -w "'"$PWD/$tour"'")" en-' || status=$?
tools/with-wine.sh build/windows/wine-prefix-run-de --lang de_DE.UTF-8 -- bash -c '
  wine "'"$demo"'" --tour "$(winepath -w "'"$PWD/$tour"'")" de- --quick' || status=$?
for bmp in "$tour"/*.bmp; do
  [ -e "$bmp" ] || continue
  convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
done
echo "The tour's screenshots are in $tour:"
ls "$tour"
exit "$status"
