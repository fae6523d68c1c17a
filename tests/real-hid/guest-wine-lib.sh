# Shared by tests/real-hid/guest-wine.sh and guest-measure-wine.sh, sourced
# inside the virtual machine of tests/real-hid/run-guest.sh: the guest's udev,
# Wine with its own HID stack (winebus over hidraw, hidclass, HID.DLL) and
# its desktop, and the emulated unit as a kernel HID device for the measuring
# script (guest-wine.sh's tests, tests/real-hid/wine.test.mjs, start their
# own units). Expects WINE_DIR, the folder that
# tests/real-hid/guest-wine-prepare.sh filled on the host: the Wine prefix,
# the Windows programs, orvanto-uhid-unit and the test image.
#
# Windows programs run from the guest's own tmpfs (/tmp/wine-run), never
# from the shared folder: started from a 9p share, orvanto-updater.exe faults
# at start-up under Wine. Wine's own error lines (WINEDEBUG err) go into the
# programs' logs.
#
# Wine runs as the prefix's owner, the user who made it on the host (the
# shared folder shows the host's owners): Wine refuses a prefix that is not
# the user's own. The guest's udev gives that user the unit's hidraw node,
# as the project's udev rule gives it to the user at the seat. The unit and
# udevd run as root.

WINE_RUN=/tmp/wine-run
UNIT_CONTROL=/tmp/unit-control
UNIT_READY=/tmp/unit-ready
UNIT_LOG=$WINE_DIR/unit.log
as_wine_user=()   # the prefix's owner: setpriv and its options (wine_guest_setup)
started_ns=$(date +%s%N)
unit_pid=""

step() {
  local now
  now=$(date +%s%N)
  printf '== [%6.1f s] %s\n' "$(( (now - started_ns) / 1000000 ))e-3" "$*"
}

# seconds since the start, for reports of how long a part took
elapsed() { echo $(( ($(date +%s%N) - started_ns) / 1000000000 )); }

# wait_for SECONDS COMMAND...: until COMMAND succeeds, at most SECONDS.
wait_for() {
  local limit=$(( $1 * 10 ))
  shift
  while ! "$@"; do
    limit=$(( limit - 1 ))
    [ "$limit" -gt 0 ] || return 1
    sleep 0.1
  done
}

has_line() { grep -q -- "$2" "$1" 2>/dev/null; }
ctl() { echo "$*" > "$UNIT_CONTROL"; }
unit_node() { cat "$UNIT_READY" 2>/dev/null; }

# Everything the Wine cases need, and the guest's udev.
wine_guest_setup() {
  local name
  [ -c /dev/uhid ] || { echo "no /dev/uhid in the guest"; return 1; }
  for name in orvanto-updater.exe orvanto-wine-hid.exe orvanto-wine-driver.exe \
              orvanto-wine-box-icon.dll orvanto-uhid-unit test-image.bin names.mjs \
              prefix/system.reg; do
    [ -e "$WINE_DIR/$name" ] || {
      echo "$WINE_DIR/$name is missing: run tests/real-hid/guest-wine-prepare.sh on the host"
      return 1
    }
  done
  mkdir -p "$WINE_RUN" /tmp/home
  cp "$WINE_DIR"/*.exe "$WINE_DIR"/*.dll "$WINE_DIR/orvanto-uhid-unit" "$WINE_RUN/"
  chmod 755 "$WINE_RUN/orvanto-uhid-unit"

  export WINEPREFIX=$WINE_DIR/prefix
  export WINEDEBUG=${WINE_GUEST_DEBUG:--all,err+all}
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEARCH=win64
  export HOME=/tmp/home
  export LANG=C.UTF-8
  unset DISPLAY

  local uid gid
  uid=$(stat -c %u "$WINEPREFIX")
  gid=$(stat -c %g "$WINEPREFIX")
  as_wine_user=(setpriv --reuid="$uid" --regid="$gid" --clear-groups)
  chown "$uid:$gid" /tmp/home
  echo "   Wine runs as uid $uid, the prefix's owner"
  # Read before udevd starts: the node is the user's from its first event on,
  # which is the event that winebus hears of it by.
  mkdir -p /run/udev/rules.d
  echo "SUBSYSTEM==\"hidraw\", KERNELS==\"0003:3F19:*\", OWNER=\"$uid\", MODE=\"0600\"" \
    > /run/udev/rules.d/70-orvanto-wine-user.rules

  # winebus finds hidraw nodes through udev: its monitor hears of a node
  # once udevd has handled it.
  local udevd
  for udevd in /lib/systemd/systemd-udevd /usr/lib/systemd/systemd-udevd; do
    if [ -x "$udevd" ]; then
      "$udevd" --daemon || { echo "systemd-udevd did not start"; return 1; }
      return 0
    fi
  done
  echo "no systemd-udevd here (package systemd)"
  return 1
}

# unit_start [OPTIONS...]: the emulated unit, plugged in, its node handled
# by udev.
unit_start() {
  rm -f "$UNIT_READY"
  "$WINE_RUN/orvanto-uhid-unit" --control "$UNIT_CONTROL" --ready-file "$UNIT_READY" \
    --flash-out "$WINE_DIR/flash.bin" "$@" > "$UNIT_LOG" 2>&1 &
  unit_pid=$!
  unit_await_plugged || return 1
}

# Waits until the unit's node is there and udev is done with it.
unit_await_plugged() {
  local node
  wait_for 30 test -s "$UNIT_READY" || { echo "no hidraw node within 30 s"; return 1; }
  node=$(unit_node)
  # udevadm settle does nothing in a chroot: udev's database entry for the
  # node says that udev is done with it.
  wait_for 30 test -e "/run/udev/data/c$(cat "/sys/class/hidraw/$(basename "$node")/dev")" ||
    { echo "udev did not take up $node"; return 1; }
}

# Ends the unit; it writes the ESC's flash to $WINE_DIR/flash.bin.
unit_quit() {
  [ -n "$unit_pid" ] || return 0
  ctl quit
  wait_for 20 eval '! kill -0 $unit_pid 2>/dev/null' || { kill -TERM "$unit_pid"; sleep 1; }
  wait "$unit_pid"
  local status=$?
  unit_pid=""
  return $status
}

# Starts the wineserver and Wine's services: winebus, which opens the hidraw
# node of a unit plugged in, and PlugPlay.
wine_start_services() {
  "${as_wine_user[@]}" wineserver -p || return 1
  timeout 300 "${as_wine_user[@]}" wine cmd /c exit > /dev/null 2>&1 || { echo "wine cmd did not run"; return 1; }
  # PlugPlay carries the device notifications (WM_DEVICECHANGE) to programs.
  if ! wait_for 120 pgrep -f 'plugplay\.exe' > /dev/null; then
    echo "Wine's PlugPlay service did not start within 120 s: no program would hear of"
    echo "devices arriving or leaving."
    return 1
  fi
}

# Wine's services and desktop with the unit of unit_start plugged in:
# winebus opens its hidraw node, and the unit then logs "opened".
wine_start() {
  local opens
  opens=$(grep -c '^opened' "$UNIT_LOG")
  wine_start_session || return 1
  if ! wait_for 120 eval "[ \$(grep -c '^opened' '$UNIT_LOG') -gt $opens ]"; then
    echo "winebus did not open the unit's hidraw node within 120 s of Wine's start."
    echo "It does so only with HKLM\\System\\CurrentControlSet\\Services\\winebus values"
    echo "\"Enable SDL\"=0 and \"DisableHidraw\"=0 (tests/real-hid/guest-wine-prepare.sh sets them)."
    return 1
  fi
}

# Wine's services and its desktop with the desktop's holder. A session whose
# desktop programs get no window on is ended and started anew, three times
# at most.
wine_start_session() {
  local session
  for session in 1 2 3; do
    if wine_start_services && wine_start_desktop; then
      [ "$session" -eq 1 ] || echo "   Wine's session came up at attempt $session"
      return 0
    fi
    echo "   Wine's session, attempt $session, has no desktop that programs get a window on:" \
      "ended, and started again"
    wine_stop
  done
  echo "Wine's session had no desktop that programs get a window on in 3 attempts"
  return 1
}

# Starts Wine's desktop process, which makes the desktop and then starts the
# desktop's holder, orvanto-wine-driver desktop, which keeps the desktop for
# the rest of the run (it says why). Both write to desktop-N.log.
#
# Wine starts its desktop process itself for the first program that needs
# the desktop, gives it 10 s, and then makes a bare desktop window if there
# is none yet; under the guest's emulated processor the desktop process is
# often not that far by then and cannot make the desktop its own afterwards:
# every program on that desktop gets a display of no driver, says "The
# explorer process failed to start" and, as orvanto-updater.exe does, gets
# no window. Started with no program waiting for it, the desktop process
# makes the desktop; and the desktop goes once its last program but the
# desktop process has gone, which the holder, started by the desktop
# process itself, is there before. Where the session's start has left a
# bare desktop (its first program waited for the desktop process), the new
# desktop process ends at once and its holder lands there, without a
# display: the holder then ends, the bare desktop goes with it, and all is
# started again.
wine_start_desktop() {
  local attempt log pid thread
  for attempt in 1 2 3 4 5; do
    log=$WINE_DIR/desktop-$attempt.log
    "${as_wine_user[@]}" wine explorer.exe /desktop "$(winpath "$WINE_RUN/orvanto-wine-driver.exe")" desktop \
      < /dev/null > "$log" 2>&1 &
    pid=$!
    wait_for 300 has_line "$log" '^ready: the desktop is up\|^FAIL: '
    # Wine's error lines start with the thread's id, which the holder says.
    thread=$(sed -n 's/^ready: the desktop is up (thread \([0-9a-f]*\)).*/\1/p' "$log")
    if [ -n "$thread" ] && ! has_line "$log" "^$thread:err:winediag:nodrv_CreateWindow"; then
      [ "$attempt" -eq 1 ] || echo "   Wine's desktop came up at attempt $attempt"
      return 0
    fi
    kill $(pgrep -f 'orvanto-wine-driver\.exe desktop') "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    sleep 3
  done
  echo "Wine's desktop did not come up in 5 attempts (see $WINE_DIR/desktop-*.log)"
  return 1
}

wine_stop() {
  "${as_wine_user[@]}" wineserver -k > /dev/null 2>&1 || true
  wait_for 30 eval '! pgrep -x wineserver > /dev/null' || true
}

# winpath PATH: the Windows name of a file of the guest (drive Z: is /).
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# run_windows LIMIT LOG PROGRAM [ARGUMENTS...]: a Windows program of
# $WINE_RUN in the background, its output in LOG; the process id in
# windows_pid.
run_windows() {
  local limit=$1 log=$2 program=$3
  shift 3
  timeout --kill-after=10 "$limit" "${as_wine_user[@]}" wine "$WINE_RUN/$program" "$@" > "$log" 2>&1 &
  windows_pid=$!
}
