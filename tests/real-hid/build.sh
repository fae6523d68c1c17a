#!/usr/bin/env bash
# Builds what the tests on a real HID stack run, all in build/real-hid:
#   test-image.bin        the test image (make_test_image.py), never firmware
#   uhid/                 orvanto-uhid-unit and hidraw-exchange (native)
#   web/site/             the product page, built with the test image
#   windows/orvanto-updater.exe  the product program, built with the test image
# and installs the browser tests' node modules (tests/web/node_modules),
# which the browser cases in the virtual machine use, when they are missing.
# The product builds are configured exactly as the product is, only with
# -DORVANTO_FIRMWARE_IMAGE naming the test image.
set -euo pipefail
cd "$(dirname "$0")/../.."
out=build/real-hid
mkdir -p "$out"
image="$PWD/$out/test-image.bin"
python3 tests/real-hid/make_test_image.py "$image"

echo "== orvanto-uhid-unit and hidraw-exchange"
cmake --preset uhid -B "$out/uhid" >/dev/null
cmake --build "$out/uhid" --target orvanto-uhid-unit hidraw-exchange

echo "== the product page with the test image"
cmake --preset web -B "$out/web" -DORVANTO_FIRMWARE_IMAGE="$image" >/dev/null
NODE_PATH=/usr/share/nodejs cmake --build "$out/web" --target orvanto_web_site

echo "== the browser tests' node modules"
tests/web/install-modules.sh

echo "== the product program with the test image"
cmake --preset windows -B "$out/windows" -DORVANTO_FIRMWARE_IMAGE="$image" \
  -DORVANTO_BUILD_TESTS=OFF >/dev/null
cmake --build "$out/windows" --target orvanto-updater
