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

echo "== native build and tests (ASan, UBSan)"
cmake --preset native-sanitize >/dev/null
cmake --build --preset native-sanitize
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --preset native-sanitize --parallel "$(nproc)"

echo "== Windows build (mingw-w64)"
cmake --preset windows >/dev/null
cmake --build --preset windows

echo "== the release build again, from scratch elsewhere: the same bytes"
tests/check-reproducible.sh

# Side by side with the Wine scenarios, which leave the processor idle much
# of the time: the release's test (two release builds from scratch, about
# 2 min) from the English ones on, then a minute of fuzzing (one core), one
# update with the real waits (46 s in which the processor idles) and the
# page's build beside the German ones; each in its own process group, its
# output in build/side-by-side/. Whatever is left of them ends with this
# script.
sides=build/side-by-side
rm -rf "$sides"
mkdir -p "$sides"
side_names=()
side_pids=()
side() {
  local name=$1
  shift
  setsid "$@" >"$sides/$name.log" 2>&1 &
  side_names+=("$name")
  side_pids+=("$!")
}
end_sides() {
  for pid in "${side_pids[@]}"; do
    kill -- -"$pid" 2>/dev/null || true
  done
}
trap end_sides EXIT
echo "== side by side from here: the release made unsigned and signed with a throw-away certificate (tests/release-test.sh, about 2 min)"
side release tests/release-test.sh

shots=build/windows/screenshots
rm -rf "$shots"
mkdir -p "$shots"

echo "== Windows tests under Wine, English"
ORVANTO_EXPECT_LANGUAGE=en tools/with-wine.sh build/windows/wine-prefix -- bash -c '
  set -eo pipefail
  export ORVANTO_SCREENSHOTS=$(winepath -w "'"$PWD/$shots"'" 2>/dev/null)
  # The end-to-end scenarios first, one program with a window after the
  # other: Wine ends its desktop when no program has had a window for a
  # few seconds (as during the held-back reads of the HID backend tests),
  # and every program with a window after that starts it anew, a second
  # more each.
  ctest --preset windows -L e2e -E RealWaits
  ctest --preset windows -LE e2e
  tests/wine/screenshot-window.sh build/windows/orvanto-updater.exe "'"$shots"'/main-en.png"'

echo "== side by side: fuzzing the unit's answers for a minute (libFuzzer, ASan, UBSan), one update with the real waits under Wine in English (about 46 s), the page's build (emscripten)"
side fuzzing tests/fuzz/fuzz.sh 60
side real-waits env ORVANTO_EXPECT_LANGUAGE=en tools/with-wine.sh build/windows/wine-prefix-real-waits -- \
  ctest --preset windows -R RealWaits -V
side web-build tools/build-web.sh

echo "== the end-to-end scenarios under Wine, German"
ORVANTO_EXPECT_LANGUAGE=de tools/with-wine.sh build/windows/wine-prefix-de --lang de_DE.UTF-8 -- bash -c '
  set -eo pipefail
  export ORVANTO_SCREENSHOTS=$(winepath -w "'"$PWD/$shots"'" 2>/dev/null)
  ctest --preset windows -L e2e -E RealWaits
  tests/wine/screenshot-window.sh build/windows/orvanto-updater.exe "'"$shots"'/main-de.png"'

for i in "${!side_pids[@]}"; do
  status=0
  wait "${side_pids[$i]}" || status=$?
  log="$sides/${side_names[$i]}.log"
  echo "== ${side_names[$i]}"
  if [ "${side_names[$i]}" = real-waits ] && [ "$status" -eq 0 ]; then
    grep -E "real-wait update|command 0x[0-9a-f]{2} x|tests passed|tests failed|Failure" "$log"
  else
    cat "$log"
  fi
  if [ "$status" -ne 0 ]; then
    echo "FAILED: ${side_names[$i]} (status $status, $log)"
    exit 1
  fi
done
# All ended: nothing left to end, and no process group number to reuse.
side_pids=()
trap - EXIT

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
