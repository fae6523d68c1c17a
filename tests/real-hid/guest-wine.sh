#!/bin/bash
# Runs inside the virtual machine of tests/real-hid/run-guest.sh: the product
# program, orvanto-updater.exe built with the test image, under Wine, reaching
# the emulated unit (orvanto-uhid-unit, a kernel HID device through
# /dev/uhid) through Wine's own HID stack: SetupAPI and HID.DLL, hidclass,
# and winebus over the unit's hidraw node. No stand-in anywhere between the
# program and the kernel.
#
# usage: guest-wine.sh [WINE_DIR]      (default /tmp/work/wine)
# WINE_DIR is what tests/real-hid/guest-wine-prepare.sh made on the host.
#
# Checks, in order:
#   - winebus takes up the unit's hidraw node once Wine's services start;
#   - how Wine's HID stack behaves (not the product's tests; their names say
#     so): orvanto-wine-hid transfers: report lengths, the report ID byte,
#     short and long buffers, queued replies, a second handle (and the unit
#     saw no malformed report: the stack refused those itself);
#     orvanto-wine-hid unplug: a pending read and the WM_DEVICECHANGE
#     messages when the unit is pulled out and plugged in again;
#   - orvanto-wine-hid exchange: 300 timed CMD_GET_UNIT_STATUS exchanges,
#     then 5000 whose replies come at every moment around the start of the
#     read (none may be lost);
#   - orvanto-wine-driver check: the program finds the unit (the Ready rows),
#     an update fails at the purge with the unit's code 0x1234, another when
#     the unit is pulled out at a data block, and a whole update succeeds
#     with the real waits;
#   - the ESC's flash the unit wrote at its end is the test image, 0xFF after.
# Prints PASS or FAIL lines with what was seen; leaves its logs in WINE_DIR;
# exits non-zero at the first failure.
set -uo pipefail
WINE_DIR=${1:-/tmp/work/wine}
script_dir=$(dirname "$0")
if [ -f "$script_dir/guest-wine-lib.sh" ]; then
  source "$script_dir/guest-wine-lib.sh"
else
  source "$WINE_DIR/guest-wine-lib.sh"
fi

fail() {
  echo "FAIL: $*"
  local log line
  if [ -n "$unit_pid" ] && line=$(unit_status); then
    echo "   the unit now: $line"
  fi
  for log in "$WINE_DIR"/*.log; do
    if [ -s "$log" ]; then
      echo "--- $(basename "$log") (last 40 lines)"
      tail -n 40 "$log"
    fi
  done
  wine_stop
  unit_quit > /dev/null 2>&1
  exit 1
}
pass() { echo "PASS: $*"; }

# check_program LOG STATUS WHAT: the PASS and FAIL lines of a Windows program.
check_program() {
  local log=$1 status=$2 what=$3
  sed 's/^/   /' "$log"
  [ "$status" -eq 0 ] || fail "$what (exit status $status)"
  has_line "$log" '^PASS: ' || fail "$what: no check ran"
  ! has_line "$log" '^FAIL: ' || fail "$what"
}

step "guest: kernel $(uname -r), $(nproc) CPUs, $(wine --version 2>/dev/null)"
wine_guest_setup || fail "the guest's setup"

step "the emulated unit (LINK-BOX, ESC 2.5), armed to refuse the purge with 0x1234"
unit_start --fault unit-error:purge:0x1234 || fail "the unit did not come up"
node=$(unit_node)
hid=$(basename "$(readlink -f "/sys/class/hidraw/$(basename "$node")/device")")
echo "   $node, HID device $hid"

step "Wine's services start; winebus takes up $node"
wine_started=$(date +%s)
wine_start || fail "Wine's HID bus did not take up the unit"
pass "winebus opened $node, $(( $(date +%s) - wine_started )) s after Wine's start"

step "Wine's HID stack, not the product: what it does with the updater's reports (orvanto-wine-hid transfers)"
run_windows 300 "$WINE_DIR/transfers.log" orvanto-wine-hid.exe transfers
wait "$windows_pid"
check_program "$WINE_DIR/transfers.log" $? "Wine's HID stack: the transfers"
line=$(unit_status) || fail "no status line from the unit"
echo "   unit: $line"
[[ "$line" == *" malformed=0"* ]] || fail "a malformed report reached the unit"
pass "no malformed report reached the unit: the stack refused them itself"

step "Wine's HID stack, not the product: a pending read and the window's notifications as the unit is pulled out and plugged in (orvanto-wine-hid unplug)"
log=$WINE_DIR/unplug.log
run_windows 400 "$log" orvanto-wine-hid.exe unplug
await_line 180 "$log" "ready: pull the unit out" || { cat "$log"; fail "the read never waited"; }
pulled=$(unit_node)
ctl unplug
wait_for 15 gone "$pulled" || fail "$pulled is still there"
await_line 120 "$log" "ready: plug the unit in" || { cat "$log"; fail "the removal was not seen"; }
unit_plug || fail "the unit did not come back"
wait "$windows_pid"
check_program "$log" $? "Wine's HID stack: unplugging"

step "orvanto-wine-hid exchange: 300 CMD_GET_UNIT_STATUS exchanges"
run_windows 600 "$WINE_DIR/exchange.log" orvanto-wine-hid.exe exchange --count 300
wait "$windows_pid"
check_program "$WINE_DIR/exchange.log" $? "the timed exchanges"

# Wine's hidclass can leave a read pending although its report has already
# been queued for the handle (it looks for a queued report, then queues the
# read, with no lock across the two); a reply that comes at that moment then
# waits in the queue until the read's time limit. Replies are made to come at
# every moment around the start of the read: the updater's link must get
# every one of them.
step "orvanto-wine-hid exchange: 5000 exchanges, each read 0 to 3 ms after its write"
run_windows 1200 "$WINE_DIR/race.log" orvanto-wine-hid.exe exchange --count 5000 --read-delay-ms 3
wait "$windows_pid"
check_program "$WINE_DIR/race.log" $? "replies that come as the read starts"

step "orvanto-updater.exe, driven from outside: Ready, two failed updates, one whole update"
log=$WINE_DIR/updater.log
driver_started=$(date +%s)
run_windows 1500 "$log" orvanto-wine-driver.exe "$(winpath "$WINE_RUN/orvanto-updater.exe")" check
await_line 600 "$log" "ready: replug the unit" || { cat "$log"; fail "the first update did not end as planned"; }
# The next update's third data block pulls the unit out; armed while the
# unit is still plugged in.
ctl "fault unplug:block:3"
wait_for 10 has_line "$UNIT_LOG" "fault: armed for the next update" || fail "the fault was not armed"
unit_replug || fail "the unit did not come back"
await_line 600 "$log" "ready: plug the unit in" || { cat "$log"; fail "the second update did not end as planned"; }
has_line "$UNIT_LOG" "fault: the unit is pulled out" || fail "the fault did not pull the unit out"
unit_plug || fail "the unit did not come back"
wait "$windows_pid"
check_program "$log" $? "the updater under Wine"
echo "   the driver's part took $(( $(date +%s) - driver_started )) s"

step "the unit ends and writes the ESC's flash"
wine_stop
unit_quit || fail "the unit ended with an error"
image=$WINE_DIR/test-image.bin
flash=$WINE_DIR/flash.bin
size=$(stat -c %s "$image")
[ "$(stat -c %s "$flash" 2>/dev/null)" = 131072 ] || fail "no 128 KiB flash file"
# (No process substitution here: the guest's /dev has no /dev/fd.)
cmp -s -n "$size" "$image" "$flash" || fail "the flash does not start with the test image"
head -c $(( 131072 - size )) /dev/zero | tr '\000' '\377' > /tmp/filler.bin
tail -c $(( 131072 - size )) "$flash" | cmp -s - /tmp/filler.bin || fail "the flash is not 0xFF after the image"
pass "the ESC's flash holds the test image ($size bytes), and 0xFF after it"

step "guest: every Wine case passed in $(elapsed) s"
