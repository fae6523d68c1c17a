#!/bin/bash
# Runs inside the virtual machine of tests/real-hid/run-guest.sh: the product
# program, orvanto-updater.exe built with the test image, under Wine, reaching
# the emulated unit (orvanto-uhid-unit, a kernel HID device through
# /dev/uhid) through Wine's own HID stack: SetupAPI and HID.DLL, hidclass,
# and winebus over the unit's hidraw node. No stand-in anywhere between the
# program and the kernel.
#
# usage: guest-wine.sh [WINE_DIR [WORD...]]   (default /tmp/work/wine)
# WINE_DIR is what tests/real-hid/guest-wine-prepare.sh made on the host;
# with WORDs only the tests whose names hold one of them run.
#
# Here only the machine is made ready (guest-wine-lib.sh): the guest's udev,
# which gives the units' hidraw nodes to the prefix's owner that Wine runs
# as; Wine's services (winebus, PlugPlay); Wine's desktop process and the
# process that holds the desktop, started so that programs get a window on
# it. Then tests/real-hid/wine.test.mjs checks, under node's test runner,
# and says what it checked, test by test:
#   - Wine's HID stack, not the product (so named): winebus takes up a
#     unit's node; orvanto-wine-hid's transfers, and no malformed report
#     reaching the unit; a pending read as the unit is pulled out and
#     plugged in; 300 timed exchanges; 5000 whose replies come at every
#     moment around the start of the read;
#   - the product: orvanto-updater.exe, started once, plays the owner's
#     stories that this stage can play (tests/stories/stories.json), each
#     with a unit of its own (the unit found and its rows, the purge and the
#     write address refused, the unit pulled out at a data block and found
#     again, a whole update with the program's real waits and the ESC's
#     flash then holding the test image), the others reported skipped with
#     the table's reason; Close ends it with exit code 0.
# Leaves the units', the programs' and Wine's logs in WINE_DIR; exits with
# the test runner's status.
set -uo pipefail
WINE_DIR=${1:-/tmp/work/wine}
[ $# -eq 0 ] || shift
patterns=()
for word in "$@"; do
  patterns+=(--test-name-pattern "$word")
done
script_dir=$(dirname "$0")
if [ -f "$script_dir/guest-wine-lib.sh" ]; then
  source "$script_dir/guest-wine-lib.sh"
else
  source "$WINE_DIR/guest-wine-lib.sh"
fi
tests=/tmp/project/tests/real-hid/wine.test.mjs

fail() {
  echo "FAIL: $*"
  local log
  for log in "$WINE_DIR"/desktop-*.log; do
    if [ -s "$log" ]; then
      echo "--- $(basename "$log") (last 20 lines)"
      tail -n 20 "$log"
    fi
  done
  wine_stop
  exit 1
}

step "guest: kernel $(uname -r), $(nproc) CPUs, $(wine --version 2>/dev/null)"
[ -f "$tests" ] || fail "no $tests: the project is shared as /tmp/project (run-guest.sh)"
wine_guest_setup || fail "the guest's setup"

step "Wine's services and its desktop"
wine_start_session || fail "Wine's services and desktop did not come up"

step "the tests (tests/real-hid/wine.test.mjs)"
export ORVANTO_WINE_DIR=$WINE_DIR ORVANTO_WINE_RUN=$WINE_RUN
timeout --kill-after=10 1500 node --test --test-reporter=spec --test-concurrency=1 "${patterns[@]}" \
  "$tests"
status=$?
[ "$status" -eq 124 ] && echo "the tests did not end within 1500 s"
wine_stop
step "guest: the Wine cases ended with status $status after $(elapsed) s"
exit "$status"
