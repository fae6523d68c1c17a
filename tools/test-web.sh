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

tools/install-deps.sh

build="${ORVANTO_WEB_BUILD:-build/web}"
echo "== web build (emscripten) in $build"
if [ "$build" = build/web ]; then
  cmake --preset web >/dev/null
  cmake --build --preset web
else
  cmake --preset web -B "$build" >/dev/null
  NODE_PATH=/usr/share/nodejs cmake --build "$build"
fi

echo "== browser test dependencies"
# npm ci when node_modules is missing or was installed from another lock file.
lock_copy=tests/web/node_modules/.orvanto-installed-lock.json
if ! cmp -s tests/web/package-lock.json "$lock_copy" 2>/dev/null; then
  (cd tests/web && npm ci --no-audit --no-fund)
  cp tests/web/package-lock.json "$lock_copy"
fi

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
