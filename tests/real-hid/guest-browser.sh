#!/bin/bash
# Runs inside the virtual machine of tests/real-hid/run-guest.sh, as root, in
# the work folder (/tmp/work). Prepares what Chromium's WebHID needs on a
# real HID stack and runs the checks or measurements there:
#
#   guest-browser.sh test [WORD...]  tests/real-hid/uhid-unit.test.mjs (the
#                                    unit alone), then
#                                    tests/real-hid/browser.test.mjs (all
#                                    tests, or those whose names hold a WORD)
#   guest-browser.sh measure [N]     tests/real-hid/browser-measure.mjs,
#                                    N exchanges (300)
#
# The project is the one run-guest.sh shares as /tmp/project (read-only),
# with build/real-hid built (tests/real-hid/build.sh).
# Prepared here, inside the machine only: systemd-udevd (Chromium learns of
# units arriving and leaving from udev), the loopback interface, a tmpfs over
# /etc/chromium for the managed policy that grants the unit to the page, and
# a home in /tmp for the ordinary user (nobody) that Chromium also runs as.
# Logs and the ESC's flash files are left in the work folder.
set -uo pipefail
cd /tmp/work

usage="usage: guest-browser.sh test [WORD...] | measure [COUNT]"
project=/tmp/project
mode="${1:?$usage}"
shift

say() { echo "== $*"; }
fail() {
  echo "FAIL: $*"
  exit 1
}

say "guest: kernel $(uname -r), $(nproc) CPUs, $(awk '/MemTotal/ { print int($2 / 1024) " MB" }' /proc/meminfo)"
[ -c /dev/uhid ] || fail "no /dev/uhid in the guest"
if grep -qw avx2 /proc/cpuinfo; then
  # QEMU 7.2's TCG gets AVX2 wrong enough that Chromium's renderer faults
  # (SIGSEGV) as soon as it draws a scaled image, such as the page's logo.
  echo "warning: the processor has AVX2; under QEMU 7.2's TCG Chromium's renderer faults:" \
    "run the machine with --cpu max,-smap,-avx2"
fi
for file in build/real-hid/uhid/emulator/uhid/orvanto-uhid-unit \
            build/real-hid/uhid/tests/real-hid/hidraw-exchange \
            build/real-hid/web/site/index.html build/real-hid/test-image.bin \
            tests/web/node_modules/puppeteer-core/package.json; do
  [ -e "$project/$file" ] || fail "$project/$file is missing: run tests/real-hid/build.sh"
done

ip link set lo up || fail "the loopback interface did not come up"

udevd=""
for candidate in /lib/systemd/systemd-udevd /usr/lib/systemd/systemd-udevd; do
  [ -x "$candidate" ] && udevd="$candidate" && break
done
[ -n "$udevd" ] || fail "no systemd-udevd: Chromium would not hear of units arriving and leaving"
"$udevd" --daemon || fail "systemd-udevd did not start"

# The managed policy goes to a tmpfs: /etc is the host's, read-only. What
# Debian keeps in /etc/chromium comes along.
mkdir -p /tmp/chromium-etc
cp -a /etc/chromium/. /tmp/chromium-etc/ 2>/dev/null || true
mount -t tmpfs -o mode=755 chromium-etc /etc/chromium || fail "no tmpfs over /etc/chromium"
cp -a /tmp/chromium-etc/. /etc/chromium/
mkdir -p /etc/chromium/policies/managed

# The ordinary user: uid and gid 65534 (nobody), home in the guest's /tmp.
mkdir -p /tmp/nobody-home
chown 65534:65534 /tmp/nobody-home
chmod 700 /tmp/nobody-home

export ORVANTO_UHID_UNIT="$project/build/real-hid/uhid/emulator/uhid/orvanto-uhid-unit"
export ORVANTO_HIDRAW_EXCHANGE="$project/build/real-hid/uhid/tests/real-hid/hidraw-exchange"
export ORVANTO_SITE="$project/build/real-hid/web/site"
export ORVANTO_TEST_IMAGE="$project/build/real-hid/test-image.bin"
export ORVANTO_WORK=/tmp/work

case "$mode" in
  test)
    say "the unit alone, then the browser tests"
    # node's test runner, one file after the other; the tests to run chosen
    # by words of their names.
    patterns=()
    for word in "$@"; do
      patterns+=(--test-name-pattern "$word")
    done
    timeout --kill-after=10 1500 node --test --test-reporter=spec --test-concurrency=1 "${patterns[@]}" \
      "$project/tests/real-hid/uhid-unit.test.mjs" "$project/tests/real-hid/browser.test.mjs"
    ;;
  measure)
    say "the browser measurements"
    timeout --kill-after=10 1500 node "$project/tests/real-hid/browser-measure.mjs" "${1:-300}"
    ;;
  *)
    fail "unknown mode $mode (test or measure)"
    ;;
esac
status=$?
[ "$status" -eq 124 ] && echo "the browser's run did not end within 1500 s"
exit "$status"
