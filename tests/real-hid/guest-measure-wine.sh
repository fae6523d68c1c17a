#!/bin/bash
# Runs inside the virtual machine of tests/real-hid/run-guest.sh (for
# tools/measure-real-hid.sh): how fast the updater's exchanges and a whole
# update are through Wine's own HID stack (HID.DLL, hidclass, winebus over
# hidraw) with the emulated unit as a kernel HID device.
#
# usage: bash tests/real-hid/guest-measure-wine.sh WORKDIR
# WORKDIR/wine is what tests/real-hid/guest-wine-prepare.sh WORKDIR made on
# the host before the machine booted.
#
# Prints:
#   raw hidraw beside Wine: N exchanges, median X ms, 95th percentile Y ms
#   wine-hid exchange: median X ms, p95 Y ms (N exchanges)
#   wine-hid exchange and 20 ms wait: median X ms, p95 Y ms (N cycles)
#   wine update: wall W s
# The first is the floor: one CMD_GET_UNIT_STATUS report out and its reply
# in through the unit's hidraw node (hidraw-exchange), while Wine runs with
# winebus holding the node; the second the same through SetupAPI, HID.DLL
# and overlapped WriteFile/ReadFile as the updater does them; the third the
# same followed by the updater's 20 ms wait, the cycle of each data block;
# the fourth a whole update of orvanto-updater.exe, from the confirmation to
# the success text (tools/measure-real-hid.sh divides it by the waits of the
# image). Each exchange figure follows 10 exchanges of the same kind to warm
# up. Figures come from an emulated processor (TCG): they are upper bounds,
# not what a real machine does. Exits non-zero when a measurement failed.
set -uo pipefail
if [ $# -ne 1 ]; then
  echo "usage: $0 WORKDIR" >&2
  exit 2
fi
WINE_DIR=$1/wine
script_dir=$(dirname "$0")
if [ -f "$script_dir/guest-wine-lib.sh" ]; then
  source "$script_dir/guest-wine-lib.sh"
elif [ -f "$WINE_DIR/guest-wine-lib.sh" ]; then
  source "$WINE_DIR/guest-wine-lib.sh"
else
  echo "wine-hid exchange: not measured ($WINE_DIR is missing: run tests/real-hid/guest-wine-prepare.sh WORKDIR on the host first)"
  exit 1
fi

give_up() {
  echo "wine: not measured: $*"
  local log
  for log in "$WINE_DIR"/measure-*.log "$UNIT_LOG"; do
    [ -s "$log" ] && { echo "--- $(basename "$log")"; tail -n 20 "$log"; }
  done
  wine_stop
  unit_quit > /dev/null 2>&1
  exit 1
}

# figure LOG PREFIX: the program's line that starts with PREFIX, or give up.
figure() {
  local line
  line=$(grep -m 1 "^$2" "$1") || give_up "no \"$2\" line (see $(basename "$1"))"
  echo "$line"
}

step "Wine's HID stack with the emulated unit"
wine_guest_setup || give_up "the guest's setup"
unit_start || give_up "the unit did not come up"
wine_start || give_up "Wine's HID bus did not take up the unit"
echo "   Wine's services and winebus up $(elapsed) s after the start"

step "300 exchanges through the hidraw node beside Wine, after 10 to warm up"
[ -f "$WINE_DIR/hidraw-exchange" ] || give_up "no hidraw-exchange in $WINE_DIR"
install -m 755 "$WINE_DIR/hidraw-exchange" "$WINE_RUN/hidraw-exchange"
"$WINE_RUN/hidraw-exchange" --count 10 "$(unit_node)" > "$WINE_DIR/measure-raw-warm-up.log" 2>&1 ||
  give_up "the warm-up through the hidraw node failed"
"$WINE_RUN/hidraw-exchange" --count 300 "$(unit_node)" > "$WINE_DIR/measure-raw.log" 2>&1 ||
  give_up "the exchanges through the hidraw node failed"
raw=$(figure "$WINE_DIR/measure-raw.log" "300 exchanges: ")
raw=$(sed -E 's/^300 exchanges: (median [0-9.]+ ms, 95th percentile [0-9.]+ ms).*/raw hidraw beside Wine: 300 exchanges, \1/' <<<"$raw")

step "300 exchanges, then 300 with the updater's 20 ms wait after each, each after 10 to warm up"
run_windows 600 "$WINE_DIR/measure-warm-up.log" orvanto-wine-hid.exe exchange --count 10
wait "$windows_pid" || give_up "the warm-up exchanges failed"
run_windows 600 "$WINE_DIR/measure-exchange.log" orvanto-wine-hid.exe exchange --count 300
wait "$windows_pid" || give_up "the exchanges failed"
run_windows 600 "$WINE_DIR/measure-warm-up.log" orvanto-wine-hid.exe exchange --count 10 --pause-ms 20
wait "$windows_pid" || give_up "the warm-up exchanges with waits failed"
exchange=$(figure "$WINE_DIR/measure-exchange.log" "wine-hid exchange: ")
run_windows 600 "$WINE_DIR/measure-cycle.log" orvanto-wine-hid.exe exchange --count 300 --pause-ms 20
wait "$windows_pid" || give_up "the exchanges with waits failed"
cycle=$(figure "$WINE_DIR/measure-cycle.log" "wine-hid exchange and 20 ms wait: ")

step "a whole update of orvanto-updater.exe"
run_windows 1500 "$WINE_DIR/measure-update.log" orvanto-wine-driver.exe \
  "$(winpath "$WINE_RUN/orvanto-updater.exe")" update
wait "$windows_pid" || give_up "the update did not succeed"
wall=$(grep -m 1 '^update: ' "$WINE_DIR/measure-update.log" | awk '{print $2}')
[ -n "$wall" ] || give_up "no update time"
wine_stop
unit_quit > /dev/null 2>&1

echo "$raw"
echo "$exchange"
echo "$cycle"
echo "wine update: wall $wall s"
