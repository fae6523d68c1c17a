# Sourced by tools/test-real-hid.sh and tools/measure-real-hid.sh: a run of
# virtual machines that ends with everything it started, however it ends.
#
#   host_run_begin NAME   makes the run's work folder ($work, in TMPDIR) and
#                         sets the traps below; the guests' logs of a failed
#                         run go to build/real-hid/logs/NAME ($logs).
#   host_step COMMAND...  runs COMMAND (a build, tests/real-hid/run-guest.sh)
#                         in a process group of its own and returns its
#                         status. The group is ended when the run ends, and
#                         COMMAND itself gets SIGTERM when the run's shell
#                         dies, even of SIGKILL. run-guest.sh passes that on
#                         to QEMU the same way, so no virtual machine
#                         outlives the run.
#
# On SIGINT, SIGTERM or SIGHUP the running step's group is ended (SIGTERM,
# SIGKILL after 20 s), the logs are kept, the work folder is removed and the
# script ends of the same signal. On any other exit the same, the logs kept
# only when the status is not 0.

host_step_pid=""

host_run_begin() {
  host_run_name=$1
  work=$(mktemp -d "${TMPDIR:-/tmp}/orvanto-$host_run_name.XXXXXX")
  logs=$PWD/build/real-hid/logs/$host_run_name
  rm -rf "$logs"
  trap 'host_run_end $?' EXIT
  trap 'host_run_signal INT' INT
  trap 'host_run_signal TERM' TERM
  trap 'host_run_signal HUP' HUP
}

host_step() {
  # A background child of a shell without job control is no group leader,
  # so setsid makes it one without forking: its pid is its group's id.
  setsid setpriv --pdeathsig TERM "$@" &
  host_step_pid=$!
  local status=0
  wait "$host_step_pid" || status=$?
  host_step_pid=""
  return "$status"
}

# Ends the running step's process group and waits until it is gone.
host_stop_step() {
  local group=$host_step_pid tenths=0
  [ -n "$group" ] || return 0
  host_step_pid=""
  kill -TERM -- "-$group" 2>/dev/null || return 0
  while kill -0 -- "-$group" 2>/dev/null; do
    if [ "$tenths" -eq 200 ]; then
      echo "$host_run_name: the step's processes did not end within 20 s of SIGTERM: SIGKILL" >&2
      kill -KILL -- "-$group" 2>/dev/null || true
    fi
    tenths=$(( tenths + 1 ))
    sleep 0.1
  done
  wait "$group" 2>/dev/null || true
}

# Copies what the guests left in the work folder to $logs, without the Wine
# prefix and the programs.
host_keep_logs() {
  [ -d "$work" ] || return 0
  rm -rf "$logs"
  mkdir -p "$logs"
  tar -C "$work" --exclude=./wine-case/wine/prefix --exclude=./wine-measure/wine/prefix \
    --exclude='*.exe' --exclude=orvanto-uhid-unit --exclude=hidraw-exchange \
    --exclude='.guest-*' --exclude=test-image.bin -cf - . | tar -C "$logs" -xf -
  echo "$host_run_name: the guests' logs are kept in ${logs#"$PWD"/}" >&2
}

host_run_end() {
  local status=$1
  trap - EXIT INT TERM HUP
  host_stop_step
  [ "$status" -eq 0 ] || host_keep_logs
  rm -rf "$work"
  exit "$status"
}

host_run_signal() {
  local signal=$1
  trap - EXIT INT TERM HUP
  echo "$host_run_name: stopped by SIG$signal; ending the virtual machines" >&2
  host_stop_step
  host_keep_logs
  rm -rf "$work"
  # Ends of the signal itself, so that the caller sees how the run ended.
  kill -s "$signal" "$$"
  exit 1
}
