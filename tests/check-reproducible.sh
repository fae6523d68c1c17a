#!/usr/bin/env bash
# Builds orvanto-updater.exe a second time, from scratch in another folder,
# and compares it byte for byte with the one in build/windows: the same
# commit must give the same executable (no time stamps, no build folders
# inside). Prints where the two differ when they do.
#
#   tests/check-reproducible.sh [FIRST_BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

first=${1:-build/windows}
second=build/windows-second
rm -rf "$second"
cmake --preset windows -B "$second" >/dev/null
cmake --build "$second" --target orvanto-updater >/dev/null
if cmp -s "$first/orvanto-updater.exe" "$second/orvanto-updater.exe"; then
  echo "reproducible: two builds of orvanto-updater.exe are the same $(stat -c %s "$first/orvanto-updater.exe") bytes"
  rm -rf "$second"
else
  echo "NOT reproducible: $first/orvanto-updater.exe and $second/orvanto-updater.exe differ:" >&2
  cmp -l "$first/orvanto-updater.exe" "$second/orvanto-updater.exe" | head -20 >&2 || true
  exit 1
fi
