#!/usr/bin/env bash
# Measures the updater in the browser (Debian's Chromium, headless) and
# prints the figures: one whole update with the real waits against the
# emulated unit (wall time divided by the 45,840 ms of mandated waits), the
# same with the tab behind another, what the product page transfers (gzip and
# brotli, the firmware image left out), and the time to the first complete
# view. Takes about two minutes. Not part of the tests.
#
# ORVANTO_WEB_BUILD=DIR measures the build in DIR instead of build/web.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh
build="${ORVANTO_WEB_BUILD:-build/web}"
if [ "$build" = build/web ]; then
  cmake --preset web >/dev/null
  cmake --build --preset web
else
  cmake --preset web -B "$build" >/dev/null
  NODE_PATH=/usr/share/nodejs cmake --build "$build"
fi

lock_copy=tests/web/node_modules/.orvanto-installed-lock.json
if ! cmp -s tests/web/package-lock.json "$lock_copy" 2>/dev/null; then
  (cd tests/web && npm ci --no-audit --no-fund)
  cp tests/web/package-lock.json "$lock_copy"
fi

ORVANTO_WEB_BUILD="$build" node tests/web/measure.mjs
