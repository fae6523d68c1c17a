#!/usr/bin/env bash
# Runs one whole update against the emulated unit with the real waits and
# prints the wall time divided by the waits the ESC needs (45,840 ms): natively,
# and the Windows build under Wine (its high-resolution waitable timer).
# Takes about two minutes. Not part of the tests.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh
cmake --preset native >/dev/null
cmake --build --preset native --target update_timing
echo "== native (Linux clock_nanosleep)"
build/native/tests/benchmark/update_timing

cmake --preset windows >/dev/null
cmake --build --preset windows --target update_timing
echo "== Windows build under Wine (waitable timer)"
tools/with-wine.sh build/windows/wine-prefix-measure -- wine build/windows/tests/benchmark/update_timing.exe
