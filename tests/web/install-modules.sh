#!/usr/bin/env bash
# Installs the node modules of the browser tests (tests/web/node_modules:
# puppeteer-core, which drives Chromium) with npm ci when they are missing
# or were installed from another lock file. Called by tools/build-web.sh and
# tests/real-hid/build.sh.
set -euo pipefail
cd "$(dirname "$0")/../.."

lock_copy=tests/web/node_modules/.orvanto-installed-lock.json
if ! cmp -s tests/web/package-lock.json "$lock_copy" 2>/dev/null; then
  (cd tests/web && npm ci --no-audit --no-fund)
  cp tests/web/package-lock.json "$lock_copy"
fi
