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

# A display of our own, so screenshots work and no desktop is needed. Xvfb
# picks a free number itself and writes it when it listens, so that runs
# side by side never share one.
if [ "$use_display" = no ]; then
  display_file=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$display_file" >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 1 100); do
    [ -s "$display_file" ] && break
    sleep 0.1
  done
  display_number=$(head -n 1 "$display_file")
  rm -f "$display_file"
  if [ -z "$display_number" ]; then
    echo "with-wine: Xvfb did not start" >&2
    exit 1
  fi
  export DISPLAY=":${display_number}"
fi

rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
wineboot -i >/dev/null 2>&1
wineserver -w

# A program that crashes ends with its exception code as its status (5, the
# low byte of 0xC0000005), as on Windows. Wine would start its debugger
# instead, which prints a backtrace only for a program with a console and
# then ends the program with status 0 more often than not: a crash of the
# dialog's thread passed as a test that succeeded. With no debugger to
# start, Wine still prints the fault's address and thread.
reg_file="$WINEPREFIX/orvanto-test.reg"
cat >"$reg_file" <<'REG'
REGEDIT4

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\AeDebug]
"Debugger"=""

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
# Without it a crash could pass as a test that succeeded: no test runs then.
if ! grep -qF '"Debugger"=""' "$WINEPREFIX/system.reg"; then
  echo "with-wine: the prefix still starts a debugger on a crash" >&2
  exit 1
fi

# Keep the wineserver up for the whole command.
wineserver -p
wine cmd /c exit >/dev/null 2>&1 || true

"$@"
