#!/usr/bin/env bash
# Builds the updater and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows

echo "The link to the programming unit, its emulator and their tests are built."
echo "The updater's window comes with the shell; until then there is nothing to open."
