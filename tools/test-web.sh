#!/usr/bin/env bash
# Builds the updater for the browser (the web preset: site/, demo/ and test/
# in build/web) and runs the browser tests in Debian's Chromium, headless:
# the page's real WebHID code against the emulated unit, the product page,
# its manifest and its service worker (offline), and the page's build
# scripts. Screenshots of what the tests saw go to build/web/screenshots.
#
# ORVANTO_WEB_BUILD=DIR builds and tests in DIR instead of build/web.
# Leaves nothing running: the browsers and the static servers belong to the
# test process, which stops them, and whatever is left of its process group
# is ended when it exits.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/build-web.sh
build="${ORVANTO_WEB_BUILD:-build/web}"

echo "== browser tests (Chromium, headless)"
rm -rf "$build/screenshots"
export ORVANTO_WEB_BUILD="$build"
# Its own process group, so that nothing it started outlives it.
setsid node --test --test-concurrency=1 --test-reporter=spec tests/web/*.test.mjs &
tests=$!
trap 'kill -- -"$tests" 2>/dev/null || true' EXIT INT TERM
status=0
wait "$tests" || status=$?
kill -- -"$tests" 2>/dev/null || true
trap - EXIT INT TERM
echo "screenshots: $build/screenshots"
exit "$status"
