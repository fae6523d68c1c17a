#!/usr/bin/env bash
# Installs what is missing, builds natively and for Windows, and runs every
# test: the native tests under AddressSanitizer and UndefinedBehaviorSanitizer,
# then the Windows tests under Wine (English, and the program's window again
# in German), each in a fresh prefix with its own Xvfb. Screenshots of the
# main window go to build/windows/screenshots.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh

echo "== native build and tests (ASan, UBSan)"
cmake --preset native-sanitize >/dev/null
cmake --build --preset native-sanitize
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --preset native-sanitize

echo "== Windows build (mingw-w64)"
cmake --preset windows >/dev/null
cmake --build --preset windows

echo "== Windows tests under Wine, English"
ORVANTO_EXPECT_LANGUAGE=en tools/with-wine.sh build/windows/wine-prefix -- bash -c '
  ctest --preset windows &&
  tools/screenshot-window.sh build/windows/orvanto-updater.exe build/windows/screenshots/main-en.png'

echo "== the program under Wine, German"
ORVANTO_EXPECT_LANGUAGE=de tools/with-wine.sh build/windows/wine-prefix-de --lang de_DE.UTF-8 -- bash -c '
  ctest --preset windows -L e2e &&
  tools/screenshot-window.sh build/windows/orvanto-updater.exe build/windows/screenshots/main-de.png'
