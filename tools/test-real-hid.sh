#!/usr/bin/env bash
# The emulated unit on a real HID stack: builds what the guests run
# (tests/real-hid/build.sh, all in build/real-hid), boots this machine's
# kernel in a virtual machine (tests/real-hid/run-guest.sh) and runs there,
# under node's test runner, the sections below, each in a virtual machine of
# its own.
#
# Leaves nothing running and nothing changed on this machine but
# build/real-hid and the browser tests' node modules (tests/web/node_modules,
# installed when missing): however the run ends (a failure, Ctrl-C, SIGTERM
# or SIGHUP to this script, or its caller's end when started through
# tools/test.sh), every virtual machine it started ends within seconds and
# its work folder is removed (tests/real-hid/host-run.sh). The guests' logs
# of a run that did not pass are kept in build/real-hid/logs/test-real-hid/.
set -euo pipefail
cd "$(dirname "$0")/.."
source tests/real-hid/host-run.sh

tools/install-deps.sh
host_run_begin test-real-hid

# in_guest WHAT SINCE RUN-GUEST-ARGUMENTS...: one part in a virtual machine
# (tests/real-hid/run-guest.sh); ends this script when it did not pass.
in_guest() {
  local what=$1 since=$2 status=0
  shift 2
  echo "== $what: in a virtual machine with this machine's kernel"
  host_step tests/real-hid/run-guest.sh "$@" || status=$?
  if [ "$status" -ne 0 ]; then
    echo "FAILED: $what, in the virtual machine (status $status)"
    exit 1
  fi
  echo "$what on the real HID stack: passed in $(( $(date +%s) - since )) s"
}

# ---------------------------------------------------------------------------
# The unit alone, then the browser, in one virtual machine
# (tests/real-hid/guest-browser.sh). First the unit alone
# (tests/real-hid/uhid-unit.test.mjs): it refuses to start without its uhid
# device and says how to get it, becomes a kernel HID device, answers a few
# hundred exchanges through its hidraw node, goes and comes back when pulled
# out and plugged in over its control channel, and writes the ESC's flash
# at its end. Then the browser (tests/real-hid/browser.test.mjs): the
# product page (built with the test image) in Debian's Chromium, with
# Chromium's own WebHID over hidraw and systemd-udevd, the unit granted by
# the browser's managed policy, plays the owner's stories that the real
# stack can play (tests/stories/stories.json), among them a whole update
# with the real waits and the ESC's flash then equal to the test image; then
# the report lengths from Chromium's collections, the unit pulled out by
# hand during the blocks, and Chromium as an ordinary user without access to
# the unit's node (the page's permission text), then with the project's udev
# rule and the seat's access.
# Takes five to fifteen minutes under TCG, the more the busier this machine
# is. The guest's processor has no AVX2: QEMU 7.2's emulation of it makes
# Chromium's renderer fault (run-guest.sh --cpu).
echo "== the unit, the page and the program with the test image (tests/real-hid/build.sh)"
host_step tests/real-hid/build.sh
browser_started=$(date +%s)
browser_work="$work/browser-case"
mkdir -p "$browser_work"
in_guest "the unit alone and the browser's WebHID" "$browser_started" --work "$browser_work" --timeout 1700 \
  --cpu max,-smap,-avx2 tests/real-hid/guest-browser.sh test

# ---------------------------------------------------------------------------
# Wine: the product program, orvanto-updater.exe built with the test image,
# under Wine in the virtual machine, reaching the emulated unit through Wine's
# own HID stack (SetupAPI, HID.DLL, hidclass, winebus over hidraw). The guest
# (tests/real-hid/guest-wine.sh) starts its udev, Wine's services and desktop,
# then runs tests/real-hid/wine.test.mjs under node's test runner: first
# Wine's HID stack itself (winebus taking up a unit, what it does with the
# updater's reports, unplugging under a pending read, timed exchanges), then
# orvanto-updater.exe, started once, playing the owner's stories that the
# real Wine stage can play (tests/stories/stories.json: the unit found and its
# rows, the purge and the write address refused with their code lines, the
# unit pulled out at block 500 and at block 3 and found again, after block 3
# a whole update with the real waits and the ESC's flash then equal to the
# test image), the others reported skipped with the table's reason, and
# Close ending it. Takes five to fifteen minutes, the more the busier this
# machine is; its work folder (with a Wine prefix of about 700 MB) lies
# inside the one above and goes with it.
echo "== Wine's HID stack: the programs and a Wine prefix (tests/real-hid/guest-wine-prepare.sh)"
wine_started=$(date +%s)
wine_work="$work/wine-case"
mkdir -p "$wine_work"
host_step tests/real-hid/guest-wine-prepare.sh "$wine_work"
in_guest "Wine" "$wine_started" --work "$wine_work" --timeout 1800 --memory 3072 \
  tests/real-hid/guest-wine.sh
