#!/usr/bin/env bash
# Inside tools/with-wine.sh: starts the updater, saves a screenshot of its
# main window as PNG, closes it with Escape and checks that it exits with 0.
#
#   tests/wine/screenshot-window.sh EXE OUTPUT.png
set -euo pipefail
exe=$1
out=$2
mkdir -p "$(dirname "$out")"

wine "$exe" &
pid=$!
window=""
for _ in $(seq 1 100); do
  window=$(xdotool search --onlyvisible --name "^VESTORA ORVANTO FW Updater" 2>/dev/null | head -n 1 || true)
  [ -n "$window" ] && break
  if ! kill -0 "$pid" 2>/dev/null; then
    status=0
    wait "$pid" || status=$?
    echo "screenshot: the updater ended with status $status before its window appeared" >&2
    exit 1
  fi
  sleep 0.2
done
if [ -z "$window" ]; then
  echo "screenshot: the updater's window did not appear" >&2
  kill "$pid" 2>/dev/null || true
  exit 1
fi
# Captured once the window has settled: two captures in a row alike (at most
# 5 s of tries), so that a window still painting is not taken half drawn.
previous=""
settled=no
for _ in $(seq 1 25); do
  import -window "$window" "$out"
  current=$(identify -format "%#" "$out")
  if [ "$current" = "$previous" ]; then
    settled=yes
    break
  fi
  previous=$current
  sleep 0.2
done
if [ "$settled" != yes ]; then
  echo "screenshot: the window kept changing; kept the last capture" >&2
fi
# One Escape closes the dialog. (Repeated keystrokes would outlive the window
# and land in whatever program comes next.) Its release comes first: the
# release of an earlier Escape that closed a program never reaches Wine,
# which then keeps the key as held down in this prefix, and a program that
# starts while Wine's desktop is still up sees no new press of it.
xdotool keyup --window "$window" Escape >/dev/null 2>&1 || true
xdotool key --window "$window" Escape >/dev/null 2>&1 || true
for _ in $(seq 1 50); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.2
done
if kill -0 "$pid" 2>/dev/null; then
  echo "screenshot: the updater did not close on Escape" >&2
  kill "$pid" 2>/dev/null || true
fi
status=0
wait "$pid" || status=$?
echo "screenshot: $out (exit code $status)"
[ "$status" -eq 0 ]
