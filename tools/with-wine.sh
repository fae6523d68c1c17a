#!/usr/bin/env bash
# Runs a command with a fresh Wine prefix and its own Xvfb display, then stops
# both, whatever the command did.
#
#   tools/with-wine.sh PREFIX_DIR [--lang LANG] [--display] -- command args...
#
# With --display the command uses the display in DISPLAY instead of an Xvfb.
# The prefix is made anew in PREFIX_DIR (removed first). Inside the command,
# WINEPREFIX, WINEDEBUG, WINEDLLOVERRIDES and DISPLAY are set and the
# wineserver is already running, so that a pipe from wine does not stay open
# after the program ends.
set -euo pipefail

prefix_dir=$1
shift
lang_value=${LANG:-C.UTF-8}
use_display=no
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  case "$1" in
    --lang) lang_value=$2; shift 2 ;;
    --display) use_display=yes; shift ;;
    *) echo "with-wine: unknown option $1" >&2; exit 2 ;;
  esac
done
[ "${1:-}" = "--" ] && shift

export WINEPREFIX
WINEPREFIX=$(realpath -m "$prefix_dir")
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
export LANG=$lang_value
export LC_ALL=$lang_value

xvfb_pid=""
cleanup() {
  WINEPREFIX=$WINEPREFIX wineserver -k >/dev/null 2>&1 || true
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" >/dev/null 2>&1 || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT

# A display of our own, so screenshots work and no desktop is needed.
for display_number in $( [ "$use_display" = yes ] || seq 90 140); do
  if [ ! -e "/tmp/.X11-unix/X${display_number}" ] && [ ! -e "/tmp/.X${display_number}-lock" ]; then
    Xvfb ":${display_number}" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    export DISPLAY=":${display_number}"
    break
  fi
done
if [ -n "$xvfb_pid" ]; then
  for _ in $(seq 1 50); do
    [ -e "/tmp/.X11-unix/X${display_number}" ] && break
    sleep 0.1
  done
fi

rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
wineboot -i >/dev/null 2>&1
wineserver -w

reg_file="$WINEPREFIX/orvanto-test.reg"
cat >"$reg_file" <<'REG'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Managed"="N"
"Decorated"="Y"
REG
if [ "$use_display" = yes ]; then
  # A desktop's window manager looks after the windows.
  sed -i 's/"Managed"="N"/"Managed"="Y"/' "$reg_file"
fi
wine regedit /S "$reg_file" >/dev/null 2>&1
wineserver -w

# Keep the wineserver up for the whole command.
wineserver -p
wine cmd /c exit >/dev/null 2>&1 || true

"$@"
