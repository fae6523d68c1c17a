#!/usr/bin/env bash
# How CTest starts the Windows test programs: run-under-wine.sh WINE
# PROGRAM ARGUMENTS...
#
# Now and then Wine's loader ends a program before any of its code has run:
# a status that is not 0 within a few milliseconds, and nothing written (its
# own messages are off, WINEDEBUG=-all). No test program ends that fast
# under Wine (a start alone takes about 0.2 s), so a start that ends within
# a tenth of a second is tried once more, and says so. A program that ran
# is never run again: what it found stands.
set -u
started=$(date +%s%N)
status=0
"$@" || status=$?
elapsed_ms=$(( ($(date +%s%N) - started) / 1000000 ))
if [ "$status" -ne 0 ] && [ "$elapsed_ms" -lt 100 ]; then
  echo "run-under-wine: Wine ended the program after $elapsed_ms ms (status $status) before it ran; starting it once more" >&2
  exec "$@"
fi
exit "$status"
