#!/usr/bin/env bash
# Installs what is missing, builds natively and for Windows, and runs every
# test: the native tests under AddressSanitizer and UndefinedBehaviorSanitizer,
# then the Windows tests under Wine in a fresh prefix with its own Xvfb.
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

echo "== Windows tests under Wine"
tools/with-wine.sh build/windows/wine-prefix -- ctest --preset windows
