#!/bin/bash
# Runs inside the virtual machine of tests/real-hid/run-guest.sh, in the work
# folder (/tmp/work), which holds orvanto-uhid-unit and hidraw-exchange.
# Checks that the emulated unit is a kernel HID device that answers through
# its hidraw node, goes and comes back with unplug and plug, and writes the
# ESC's flash when it ends. Leaves unit.log, exchange.log and flash.bin in
# the work folder; exits non-zero at the first failure.
set -uo pipefail
cd /tmp/work

started=$(date +%s%N)
step() {
  local now
  now=$(date +%s%N)
  printf '== [%6.1f s] %s\n' "$(( (now - started) / 1000000 ))e-3" "$*"
}
fail() {
  echo "FAILED: $*"
  for log in unit.log unit2.log; do
    if [ -s "$log" ]; then
      echo "--- $log"
      cat "$log"
    fi
  done
  exit 1
}
# wait_for SECONDS COMMAND...: until COMMAND succeeds, at most SECONDS.
wait_for() {
  local limit=$(( $1 * 10 ))
  shift
  while ! "$@"; do
    limit=$(( limit - 1 ))
    [ "$limit" -gt 0 ] || return 1
    sleep 0.1
  done
}
gone() { [ ! -e "$1" ]; }
has_line() { grep -q -- "$2" "$1"; }
control=/tmp/unit-control
ctl() { echo "$*" > "$control"; }
# status LOG: the unit's next status line.
status() {
  local before
  before=$(grep -c '^status:' "$1")
  ctl status
  wait_for 10 eval "[ \$(grep -c '^status:' '$1') -gt $before ]" || fail "no status line"
  grep '^status:' "$1" | tail -n 1
}
unit_devices() { ls /sys/bus/hid/devices 2>/dev/null | grep -c '^0003:3F19:' ; }

step "guest: kernel $(uname -r), $(nproc) CPUs"
[ -c /dev/uhid ] || fail "no /dev/uhid in the guest"

step "without access to /dev/uhid the unit refuses to start and says how to get it"
install -m 755 orvanto-uhid-unit /tmp/orvanto-uhid-unit
refusal=$(setpriv --reuid=65534 --regid=65534 --clear-groups /tmp/orvanto-uhid-unit 2>&1)
code=$?
echo "$refusal" | sed 's/^/   /'
[ "$code" -ne 0 ] || fail "it started without access to /dev/uhid"
grep -q "udev rule" <<<"$refusal" || fail "it did not say how to get access"

udevd=""
for candidate in /lib/systemd/systemd-udevd /usr/lib/systemd/systemd-udevd; do
  if [ -x "$candidate" ]; then
    udevd="$candidate"
    break
  fi
done
if [ -n "$udevd" ]; then
  step "starting systemd-udevd"
  "$udevd" --daemon || fail "systemd-udevd did not start"
else
  step "no systemd-udevd here: devtmpfs alone makes the nodes"
fi

step "starting orvanto-uhid-unit (LINK-BOX, ESC 2.5 attached)"
./orvanto-uhid-unit --control "$control" --ready-file ready --flash-out flash.bin > unit.log 2>&1 &
unit_pid=$!
wait_for 30 test -s ready || fail "no hidraw node within 30 s"
node=$(cat ready)
[ -c "$node" ] || fail "$node is not a character device"
hid=$(basename "$(readlink -f "/sys/class/hidraw/$(basename "$node")/device")")
echo "   $node, HID device $hid, driver $(basename "$(readlink -f "/sys/bus/hid/devices/$hid/driver")")"
[[ "$hid" == 0003:3F19:0002.* ]] || fail "the HID device is $hid, not a USB 3f19:0002"
grep -qx "HID_NAME=ORVANTO LINK-BOX" "/sys/bus/hid/devices/$hid/uevent" || fail "wrong name"
if [ -n "$udevd" ]; then
  # udevadm settle does nothing in a chroot: udev's database entry for the
  # node says that udev is done with it.
  wait_for 30 test -e "/run/udev/data/c$(cat "/sys/class/hidraw/$(basename "$node")/dev")" ||
    fail "udev did not take up $node"
  udevadm info --query=property --name="$node" | grep -E '^(DEVNAME|SUBSYSTEM)=' | sed 's/^/   udev: /'
fi

step "300 GET_UNIT_STATUS exchanges through $node"
./hidraw-exchange --count 300 "$node" > exchange.log 2>&1
code=$?
sed 's/^/   /' exchange.log
[ "$code" -eq 0 ] || fail "the exchanges failed"
has_line exchange.log 'bus 3, 3f19:0002, "ORVANTO LINK-BOX"' || fail "wrong identity"
has_line exchange.log "reports: input ID 2, 60 bytes; output ID 1, 60 bytes" || fail "wrong report lengths"
has_line exchange.log "mode=normal esc-state=3 unit-firmware=0x00010400" || fail "wrong unit status"

step "the identification queries, 20 each"
for query in "memory unit-firmware=0x00010400" "esc-info esc-firmware=0x0205" \
             "esc-identity esc-type=0x111F405A esc-boot=0x01000203"; do
  read -r command expected <<<"$query"
  ./hidraw-exchange --count 20 --command "$command" "$node" > query.log 2>&1
  code=$?
  sed 's/^/   /' query.log | grep -E 'reply:|exchanges:'
  [ "$code" -eq 0 ] || fail "the $command exchanges failed"
  has_line query.log "$expected" || fail "the $command reply is not $expected"
done
line=$(status unit.log)
echo "   $line"
[[ "$line" == *"status: plugged node=$node"*" exchanges=360 "* ]] ||
  fail "the unit did not count exactly the 360 exchanges"

step "unplug over the control channel: the node goes"
ctl unplug
wait_for 10 gone "$node" || fail "$node is still there"
wait_for 10 eval '[ "$(unit_devices)" -eq 0 ]' || fail "the HID device is still there"
line=$(status unit.log)
echo "   $line"
[[ "$line" == "status: unplugged "* ]] || fail "the unit does not say it is unplugged"
if ./hidraw-exchange --count 1 > query.log 2>&1; then
  fail "a unit answered while pulled out"
fi
grep FAILED query.log | sed 's/^/   as it should: /'

step "plug over the control channel: the node comes back and answers"
rm -f ready
ctl plug
wait_for 30 test -s ready || fail "no hidraw node within 30 s of plug"
node=$(cat ready)
[ -c "$node" ] || fail "$node is not a character device"
echo "   $node"
./hidraw-exchange --count 20 "$node" > query.log 2>&1 || { cat query.log; fail "no answers after plug"; }
grep 'exchanges:' query.log | sed 's/^/   /'

step "pulled out during exchanges: the host's exchange fails at once, not at its time limit"
./hidraw-exchange --count 1000000 --timeout-ms 60000 "$node" > query.log 2>&1 &
host_pid=$!
sleep 1
ctl unplug
if ! wait_for 10 eval '! kill -0 $host_pid 2>/dev/null'; then
  kill "$host_pid"
  fail "the host still waits 10 s after the unplug"
fi
wait "$host_pid" && fail "the exchanges went on without the unit"
grep -E 'FAILED|exchanges:' query.log | sed 's/^/   as it should: /'
rm -f ready
ctl plug
wait_for 30 test -s ready || fail "no hidraw node within 30 s of plug"
node=$(cat ready)

step "quit: the unit ends and writes the ESC's flash"
ctl quit
wait_for 15 eval '! kill -0 $unit_pid 2>/dev/null' || fail "the unit did not end"
wait "$unit_pid" || fail "the unit ended with status $?"
wait_for 10 gone "$node" || fail "$node is still there after the end"
[ -f flash.bin ] || fail "no flash file"
size=$(stat -c %s flash.bin)
[ "$size" -eq 131072 ] || fail "the flash file has $size bytes, not 131072"
# (No process substitution here: the guest's /dev has no /dev/fd.)
head -c 131072 /dev/zero | tr '\000' '\377' > /tmp/erased.bin
cmp -s flash.bin /tmp/erased.bin || fail "the flash is not all 0xFF: something was written"
echo "   flash.bin: 131072 bytes, all 0xFF"
counts=""
for event in created plugged unplugged opened closed; do
  counts+=" $event $(grep -c "^$event" unit.log),"
done
echo "   the unit's log:${counts%,}"

step "an ORBICON in its bootloader without an ESC, commands on standard input"
mkfifo /tmp/unit2-input
./orvanto-uhid-unit --unit orbicon --bootloader --no-esc --ready-file ready2 \
  --flash-out flash2.bin --fault unplug:lock --replug-after 500 \
  < /tmp/unit2-input > unit2.log 2>&1 &
unit_pid=$!
exec 3> /tmp/unit2-input
wait_for 30 test -s ready2 || fail "no hidraw node within 30 s"
node=$(cat ready2)
hid=$(basename "$(readlink -f "/sys/class/hidraw/$(basename "$node")/device")")
echo "   $node, HID device $hid"
[[ "$hid" == 0003:3F19:0001.* ]] || fail "the HID device is $hid, not a USB 3f19:0001"
./hidraw-exchange --count 10 "$node" > query.log 2>&1 || { cat query.log; fail "no answers"; }
sed 's/^/   /' query.log
has_line query.log '"ORVANTO ORBICON"' || fail "wrong name"
has_line query.log "mode=bootloader" || fail "not in its bootloader"

step "the fault unplug:lock pulls it out at the lock, and it comes back 500 ms later"
rm -f ready2
if ./hidraw-exchange --count 1 --command lock "$node" > query.log 2>&1; then
  fail "the lock was answered"
fi
grep FAILED query.log | sed 's/^/   as it should: /'
wait_for 15 test -s ready2 || fail "not plugged in again within 15 s"
node=$(cat ready2)
./hidraw-exchange --count 5 "$node" > query.log 2>&1 || { cat query.log; fail "no answers after the re-plug"; }
grep 'exchanges:' query.log | sed 's/^/   /'
has_line unit2.log "fault: the unit is pulled out before the report reached it (exchange 11)" ||
  fail "the unit did not say that the fault pulled it out"
echo status >&3
wait_for 10 grep -q '^status:' unit2.log || fail "no status line from standard input"
line=$(grep '^status:' unit2.log | tail -n 1)
echo "   $line"
[[ "$line" == *"status: plugged node=$node"*" exchanges=16 "* ]] ||
  fail "the unit did not count exactly the 16 exchanges"

step "SIGTERM ends it and it writes the ESC's flash"
kill -TERM "$unit_pid"
wait "$unit_pid" || fail "the unit ended with status $? on SIGTERM"
exec 3>&-
wait_for 10 gone "$node" || fail "$node is still there after the end"
[ "$(stat -c %s flash2.bin 2>/dev/null)" = 131072 ] || fail "no flash file after SIGTERM"
has_line unit2.log "ending on Terminated" || fail "the unit did not say why it ended"

step "guest: every check passed"
