#!/usr/bin/env bash
# Installs what is missing, builds natively, for Windows and for the browser,
# and runs every test: the native tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, the Windows tests under Wine (English, and the
# end-to-end scenarios again in German), each in a fresh prefix with its own
# Xvfb, the page's tests in a headless Chromium, and the product page and
# program against the emulated unit as a kernel HID device in a virtual
# machine (tools/test-real-hid.sh). Screenshots of what the
# tests saw go to build/windows/screenshots and build/web/screenshots.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh

echo "== layout: platform/ below everything, the logic portable and layered link <- update <- app"
python3 tools/check_layout.py .

echo "== native build and tests (ASan, UBSan)"
cmake --preset native-sanitize >/dev/null
cmake --build --preset native-sanitize
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --preset native-sanitize --parallel "$(nproc)"

echo "== fuzzing the unit's answers for a minute (libFuzzer, ASan, UBSan)"
tools/fuzz.sh 60

echo "== Windows build (mingw-w64)"
cmake --preset windows >/dev/null
cmake --build --preset windows

echo "== the release build again, from scratch elsewhere: the same bytes"
tools/check-reproducible.sh

shots=build/windows/screenshots
rm -rf "$shots"
mkdir -p "$shots"

echo "== Windows tests under Wine, English"
ORVANTO_EXPECT_LANGUAGE=en tools/with-wine.sh build/windows/wine-prefix -- bash -c '
  set -eo pipefail
  export ORVANTO_SCREENSHOTS=$(winepath -w "'"$PWD/$shots"'" 2>/dev/null)
  ctest --preset windows -E RealWaits
  echo "== one update with the real waits (about 46 s)"
  ctest --preset windows -R RealWaits -V | grep -E "real-wait update|tests passed|tests failed|Failure"
  tools/screenshot-window.sh build/windows/orvanto-updater.exe "'"$shots"'/main-en.png"'

echo "== the end-to-end scenarios under Wine, German"
ORVANTO_EXPECT_LANGUAGE=de tools/with-wine.sh build/windows/wine-prefix-de --lang de_DE.UTF-8 -- bash -c '
  set -eo pipefail
  export ORVANTO_SCREENSHOTS=$(winepath -w "'"$PWD/$shots"'" 2>/dev/null)
  ctest --preset windows -L e2e -E RealWaits
  tools/screenshot-window.sh build/windows/orvanto-updater.exe "'"$shots"'/main-de.png"'

echo "== the updater in the browser: build and tests in Chromium"
tools/test-web.sh

echo "== the unit on a real HID stack: a kernel HID device in a virtual machine"
# SIGTERM to it when this script dies, so that its virtual machines end too.
setpriv --pdeathsig TERM tools/test-real-hid.sh

for bmp in "$shots"/*.bmp; do
  [ -e "$bmp" ] || continue
  convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
done
echo "screenshots: $shots"
