#!/usr/bin/env bash
# Builds the updater and runs its demo under Wine: the same program, with an
# emulated programming unit in place of a USB one and a control window to plug
# it in and out, choose what it is, and arm faults.
#
# With a display it opens the demo there. Without one it starts its own Xvfb
# and walks through a tour for the eyes: four of the owner's stories (no unit,
# a unit plugged in, an update to success, a failure; tests/stories/), played
# with the real dialog and the emulated unit, its waits 50 times faster, in
# English and in German, saving a PNG of each stage in the folder it names at
# the end. Takes about a minute.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target orvanto-updater-demo orvanto-updater updater_e2e_test

demo=build/windows/orvanto-updater-demo.exe
if [ -n "${DISPLAY:-}" ]; then
  exec tools/with-wine.sh build/windows/wine-prefix-run --display -- wine "$demo"
fi

tour=build/windows/tour
rm -rf "$tour"
mkdir -p "$tour"
stories=starts_without_unit:link_box_ready:whole_update:purge_refused
filter="Story/StoryPlay.Plays/${stories//:/:Story/StoryPlay.Plays/}"
play='ORVANTO_SCREENSHOTS=$(winepath -w "'"$PWD/$tour"'") wine build/windows/tests/wine/updater_e2e_test.exe --gtest_filter="'"$filter"'"'
status=0
tools/with-wine.sh build/windows/wine-prefix-run -- bash -c "$play" || status=$?
tools/with-wine.sh build/windows/wine-prefix-run-de --lang de_DE.UTF-8 -- bash -c "$play" || status=$?
for bmp in "$tour"/*.bmp; do
  [ -e "$bmp" ] || continue
  convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
done
echo "The tour's screenshots are in $tour:"
ls "$tour"
exit "$status"
