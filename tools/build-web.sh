#!/usr/bin/env bash
# Builds the updater for the browser (the web preset: site/, demo/ and test/)
# and installs the browser tests' node modules when they are missing or were
# installed from another lock file. Called by test-web.sh and measure-web.sh.
#
# ORVANTO_WEB_BUILD=DIR builds in DIR instead of build/web.
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
tests/web/install-modules.sh
