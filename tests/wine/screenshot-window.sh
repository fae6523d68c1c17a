#!/usr/bin/env bash
# Inside tools/with-wine.sh: starts the updater, saves a screenshot of its
# main window as PNG, closes it with its Close button and checks that it
# exits with 0.
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
  timeout 10 import -window "$window" "$out"
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
# Space on the Close button, which has the focus while no unit is there,
# closes the dialog when the key is released. A key that closes the window
# on its press (Escape, Enter) is released after the window has gone: Wine
# never hears of the release, keeps the key held down in this prefix, and
# the next program started while Wine's desktop is still up misses that
# key or gets it at once. (One keystroke only: more would outlive the
# window and land in whatever program comes next.)
xdotool key --window "$window" space >/dev/null 2>&1 || true
for _ in $(seq 1 50); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.2
done
if kill -0 "$pid" 2>/dev/null; then
  echo "screenshot: the updater did not close on Space on its Close button" >&2
  kill "$pid" 2>/dev/null || true
fi
status=0
wait "$pid" || status=$?
echo "screenshot: $out (exit code $status)"
[ "$status" -eq 0 ]
