#!/usr/bin/env bash
# The emulated unit on a real HID stack: builds orvanto-uhid-unit and
# hidraw-exchange (build/uhid), boots this machine's kernel in a virtual
# machine (tools/real-hid/run-guest.sh) and checks there
# (tools/real-hid/guest-uhid-unit.sh) that the unit becomes a kernel HID
# device, answers a few hundred exchanges through its hidraw node, goes and
# comes back when pulled out and plugged in over its control channel, and
# leaves the ESC's flash untouched when it ends. Takes one to two minutes.
#
# Leaves nothing running and nothing changed on this machine but build/uhid;
# the virtual machine is stopped and its folders are removed whatever happens.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$(date +%s)

tools/install-deps.sh

echo "== building orvanto-uhid-unit and hidraw-exchange (build/uhid)"
cmake --preset uhid >/dev/null
cmake --build --preset uhid
unit=build/uhid/emulator/uhid/orvanto-uhid-unit
exchange=build/uhid/tools/real-hid/hidraw-exchange

echo "== here: without a uhid device the unit refuses to start and says how to get one"
set +e
refusal=$("$unit" --uhid /nonexistent/uhid 2>&1)
code=$?
set -e
echo "$refusal" | sed 's/^/   /'
if [ "$code" -eq 0 ] || ! grep -q "modprobe uhid" <<<"$refusal"; then
  echo "FAILED: it started, or did not say how to load uhid (status $code)"
  exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/orvanto-real-hid.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$unit" "$exchange" "$work/"

echo "== in a virtual machine with this machine's kernel"
status=0
tools/real-hid/run-guest.sh --work "$work" --timeout 600 tools/real-hid/guest-uhid-unit.sh || status=$?
if [ "$status" -ne 0 ]; then
  echo "FAILED: the checks in the virtual machine (status $status)"
  exit 1
fi

echo "== back here: the ESC's flash the unit wrote at its end"
expected="$work/erased.bin"
head -c 131072 /dev/zero | tr '\000' '\377' > "$expected"
if ! cmp -s "$work/flash.bin" "$expected"; then
  echo "FAILED: flash.bin is not 128 KiB of 0xFF"
  exit 1
fi
echo "   flash.bin: 128 KiB of 0xFF"

echo "real HID stack: passed in $(( $(date +%s) - started )) s"
