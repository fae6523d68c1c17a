#!/usr/bin/env bash
# Measures the updater in the browser (Debian's Chromium, headless) and
# prints the figures: one whole update with the real waits against the
# emulated unit (wall time divided by the 45,840 ms of waits the ESC needs), the
# same with the tab behind another, what the product page transfers (gzip and
# brotli, the firmware image left out), and the time to the first complete
# view. Takes about two minutes. Not part of the tests.
#
# ORVANTO_WEB_BUILD=DIR measures the build in DIR instead of build/web.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/build-web.sh
build="${ORVANTO_WEB_BUILD:-build/web}"
ORVANTO_WEB_BUILD="$build" node tests/web/measure.mjs
