#!/usr/bin/env bash
# Measures the exchanges with the emulated unit on a real HID stack and
# prints the figures; not a test (it asserts nothing about them). In the
# virtual machines of tests/real-hid/run-guest.sh (this machine's kernel
# under QEMU without acceleration), with the unit a kernel HID device
# (orvanto-uhid-unit), one machine for each stack:
#
#   - the time per exchange of a 60-byte report (CMD_GET_UNIT_STATUS, report
#     ID 1 out, the reply with report ID 2 in) through Chromium's WebHID and
#     through Wine's HID.DLL, and through the raw hidraw node in the same
#     machine while that stack runs, each after the same 10 exchanges to
#     warm up: median and 95th percentile;
#   - one whole update with the real waits, of the product page in Chromium
#     and of orvanto-updater.exe under Wine: its wall time divided by the
#     waits that the program must make for the test image, reckoned here
#     from the image's size and the waits the updater's headers name.
#
# usage: tools/measure-real-hid.sh [EXCHANGES]   (300 by default)
#
# Fails when a figure is missing. The figures come from an emulated
# processor: they are upper bounds for this machine's kernel and browser,
# not what a desktop does. Takes about ten minutes. However it ends, the
# virtual machines end with it; the guests' logs of a run that failed are
# kept in build/real-hid/logs/measure-real-hid/ (tests/real-hid/host-run.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
count="${1:-300}"
case "$count" in
  ''|*[!0-9]*) echo "usage: $0 [EXCHANGES]" >&2; exit 2 ;;
esac
source tests/real-hid/host-run.sh

tools/install-deps.sh
host_run_begin measure-real-hid
host_step tests/real-hid/build.sh

# header_constant FILE NAME: the value of `constexpr ... NAME = VALUE;`.
header_constant() {
  local value
  value=$(sed -n -E "s/^constexpr [a-z:0-9_]+ $2 = ([0-9]+);.*/\1/p" "$1")
  if [ -z "$value" ]; then
    echo "measure-real-hid: no $2 in $1" >&2
    exit 1
  fi
  echo "$value"
}
# The waits of a whole update of the test image: STEP_PAUSE_MS after each of
# the four steps before the blocks and after each block, PURGE_REPLY_DELAY_MS
# inside the purge and AFTER_PURGE_PAUSE_MS after it.
image_size=$(stat -c %s build/real-hid/test-image.bin)
block=$(header_constant update/firmware_update.h BLOCK_BYTES)
step_pause=$(header_constant update/firmware_update.h STEP_PAUSE_MS)
after_purge=$(header_constant update/firmware_update.h AFTER_PURGE_PAUSE_MS)
purge_delay=$(header_constant link/commands.h PURGE_REPLY_DELAY_MS)
blocks=$(( (image_size + block - 1) / block ))
waits_ms=$(( (blocks + 4) * step_pause + purge_delay + after_purge ))

host_cpu=$(lscpu | sed -n 's/^Model name:[[:space:]]*//p' | head -n 1)
echo "== this machine: ${host_cpu:-unknown processor}, $(nproc) cores, kernel $(uname -r)"
echo "== Chromium's WebHID, in a virtual machine with this machine's kernel (QEMU, TCG, 2 CPUs)"
browser_work="$work/browser-measure"
mkdir -p "$browser_work"
status=0
host_step tests/real-hid/run-guest.sh --work "$browser_work" --timeout 1500 --cpu max,-smap,-avx2 \
  tests/real-hid/guest-browser.sh measure "$count" || status=$?
[ "$status" -eq 0 ] || echo "measure-real-hid: the browser measurements failed (status $status)" >&2

echo "== Wine's HID.DLL, in a virtual machine of its own (tests/real-hid/guest-measure-wine.sh)"
wine_work="$work/wine-measure"
mkdir -p "$wine_work"
wine_status=0
if host_step tests/real-hid/guest-wine-prepare.sh "$wine_work"; then
  host_step tests/real-hid/run-guest.sh --work "$wine_work" --timeout 1800 --memory 3072 \
    tests/real-hid/guest-measure-wine.sh /tmp/work || wine_status=$?
else
  wine_status=$?
fi
[ "$wine_status" -eq 0 ] || echo "measure-real-hid: the Wine measurements failed (status $wine_status)" >&2

# has_figure LOG PREFIX: whether the guest's log has a line that starts with
# PREFIX; says which figure is missing when not.
missing=0
has_figure() {
  grep -q "^$2" "$1" 2>/dev/null && return 0
  echo "measure-real-hid: no figure \"$2...\" in $(basename "$(dirname "$1")")/guest.log" >&2
  missing=1
  return 1
}
# ratio LOG PREFIX WHAT: the update's wall time, the seconds after PREFIX,
# divided by the waits.
ratio() {
  local wall
  has_figure "$1" "$2" || return 0
  wall=$(grep -m 1 "^$2" "$1" | sed -E "s/^$2([0-9.]+) s.*/\1/")
  awk -v wall="$wall" -v waits="$waits_ms" -v what="$3" \
    'BEGIN { printf "%s: %.2f s / %.3f s of waits = %.3f\n", what, wall, waits / 1000, wall * 1000 / waits }'
}

echo
echo "== figures (this machine: ${host_cpu:-unknown processor}, $(nproc) cores;" \
  "the test image: $image_size bytes, $blocks blocks, $waits_ms ms of waits)"
browser_log=$browser_work/guest.log
wine_log=$wine_work/guest.log
for prefix in "measured on: " "raw hidraw beside Chromium: " "Chromium WebHID: "; do
  has_figure "$browser_log" "$prefix" || true
done
sed -n '/^== figures$/,$p' "$browser_log" 2>/dev/null | sed '1d; /^whole update in Chromium: /d'
ratio "$browser_log" "whole update in Chromium: " "whole update in Chromium"
for prefix in "raw hidraw beside Wine: " "wine-hid exchange: " "wine-hid exchange and "; do
  has_figure "$wine_log" "$prefix" && grep -m 1 "^$prefix" "$wine_log"
done
ratio "$wine_log" "wine update: wall " "whole update under Wine"
if [ "$missing" -ne 0 ]; then
  echo "measure-real-hid: figures are missing (see above)" >&2
  exit 1
fi
[ "$status" -eq 0 ] && [ "$wine_status" -eq 0 ]
