#!/usr/bin/env bash
# Measures the exchanges with the emulated unit on a real HID stack and
# prints the figures; not a test (it asserts nothing). In the virtual machine
# of tools/real-hid/run-guest.sh (this machine's kernel under QEMU without
# acceleration), with the unit a kernel HID device (orvanto-uhid-unit):
#
#   - the time per exchange of a 60-byte report (CMD_GET_UNIT_STATUS, report
#     ID 1 out, the reply with report ID 2 in) through the raw hidraw node
#     and through Chromium's WebHID: median and 95th percentile;
#   - one whole update of the product page in Chromium with the real waits:
#     its wall time divided by the 45,840 ms of waits;
#   - the same through Wine's HID.DLL, where tools/real-hid/guest-measure-wine.sh
#     is there (see the hook below).
#
# usage: tools/measure-real-hid.sh [EXCHANGES]   (300 by default)
#
# The figures come from an emulated processor: they are upper bounds for
# this machine's kernel and browser, not what a desktop does. Takes about
# five minutes, the Wine part as long again.
set -euo pipefail
cd "$(dirname "$0")/.."
count="${1:-300}"
case "$count" in
  ''|*[!0-9]*) echo "usage: $0 [EXCHANGES]" >&2; exit 2 ;;
esac

tools/install-deps.sh
tools/real-hid/build.sh

work=$(mktemp -d "${TMPDIR:-/tmp}/orvanto-measure-real-hid.XXXXXX")
trap 'rm -rf "$work"' EXIT

host_cpu=$(lscpu | sed -n 's/^Model name:[[:space:]]*//p' | head -n 1)
echo "== this machine: ${host_cpu:-unknown processor}, $(nproc) cores, kernel $(uname -r)"
echo "== in a virtual machine with this machine's kernel (QEMU, TCG, 2 CPUs)"
status=0
tools/real-hid/run-guest.sh --work "$work" --timeout 1500 --cpu max,-smap,-avx2 \
  tools/real-hid/guest-browser.sh measure "$count" | tee "$work/browser.txt" || status=$?
if [ "$status" -ne 0 ]; then
  echo "measure-real-hid: the browser measurements failed (status $status)" >&2
fi

# ---------------------------------------------------------------------------
# HOOK: Wine's HID.DLL. tools/real-hid/guest-measure-wine.sh measures the same
# exchange and a whole update of orvanto-updater.exe through Wine's HID stack
# in a virtual machine of its own. It is called here when it is there, with
# the work folder that tools/real-hid/guest-wine-prepare.sh fills on this
# machine first (the guest sees it as /tmp/work); it prints its own figure
# lines. Without it, that figure is left out.
wine_status=0
if [ -f tools/real-hid/guest-measure-wine.sh ] && [ -x tools/real-hid/guest-wine-prepare.sh ]; then
  echo "== Wine's HID.DLL (tools/real-hid/guest-measure-wine.sh)"
  wine_work="$work/wine-measure"
  mkdir -p "$wine_work"
  if tools/real-hid/guest-wine-prepare.sh "$wine_work"; then
    tools/real-hid/run-guest.sh --work "$wine_work" --timeout 1800 --memory 3072 \
      tools/real-hid/guest-measure-wine.sh /tmp/work | tee "$work/wine.txt" || wine_status=$?
  else
    wine_status=$?
  fi
  [ "$wine_status" -eq 0 ] || echo "measure-real-hid: the Wine measurements failed (status $wine_status)" >&2
else
  echo "== Wine's HID.DLL: not measured (no tools/real-hid/guest-measure-wine.sh)"
fi
# ---------------------------------------------------------------------------

echo
echo "== figures (this machine: ${host_cpu:-unknown processor}, $(nproc) cores)"
sed -n '/^== figures$/,$p' "$work/browser.txt" | sed '1d; /^run-guest:/d'
if [ -f "$work/wine.txt" ]; then
  grep -E '^wine' "$work/wine.txt" || true
fi
[ "$status" -eq 0 ] && [ "$wine_status" -eq 0 ]
