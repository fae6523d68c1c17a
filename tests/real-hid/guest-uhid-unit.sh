#!/bin/bash
# Runs inside the virtual machine of tests/real-hid/run-guest.sh, as root, in
# the work folder (/tmp/work), which holds orvanto-uhid-unit and
# hidraw-exchange. Starts systemd-udevd, then runs the checks of the unit on
# the kernel's HID stack, tests/real-hid/uhid-unit.test.mjs, under node's
# test runner. The project is the one run-guest.sh shares as /tmp/project
# (read-only). Leaves unit.log, exchange.log and flash.bin in the work
# folder; exits with the test runner's status.
set -uo pipefail
cd /tmp/work

project=/tmp/project

echo "== guest: kernel $(uname -r), $(nproc) CPUs"

# udev takes up the unit's hidraw node (a test waits for its record).
udevd=""
for candidate in /lib/systemd/systemd-udevd /usr/lib/systemd/systemd-udevd; do
  [ -x "$candidate" ] && udevd="$candidate" && break
done
if [ -z "$udevd" ]; then
  echo "FAIL: no systemd-udevd (the Debian package udev)"
  exit 1
fi
"$udevd" --daemon || { echo "FAIL: systemd-udevd did not start"; exit 1; }

export ORVANTO_UHID_UNIT=/tmp/work/orvanto-uhid-unit
export ORVANTO_HIDRAW_EXCHANGE=/tmp/work/hidraw-exchange
export ORVANTO_WORK=/tmp/work
timeout --kill-after=10 540 node --test --test-reporter=spec "$project/tests/real-hid/uhid-unit.test.mjs"
status=$?
[ "$status" -eq 124 ] && echo "the unit's tests did not end within 540 s"
exit "$status"
