# Starting and stopping the emulated projector from the tools' scripts
# (sourced, not run):
#
#   emulator_start LOG SECONDS COMMAND...
#       starts COMMAND (tz4817-emu with its options, or a launcher in front of
#       it) in the background with its output in LOG, and waits up to SECONDS
#       until it says where it listens: emulator_address then holds HOST:PORT
#       and emulator_pid its process. Fails (status 1, emulator_address empty)
#       when it ends or says nothing in time.
#   emulator_stop
#       ends it with SIGTERM and waits for it; does nothing when none runs.

# SPDX-License-Identifier: MIT
emulator_pid=
emulator_address=

emulator_start() {
  local log=$1 seconds=$2
  shift 2
  "$@" >"$log" 2>&1 &
  emulator_pid=$!
  emulator_address=
  local tries=$((seconds * 10))
  while [ $tries -gt 0 ]; do
    # A Windows emulator ends its lines with CR.
    emulator_address=$(sed -n 's/^tz4817-emu: listening on \([^,]*\),.*/\1/p' "$log" | tr -d '\r')
    [ -n "$emulator_address" ] && return 0
    kill -0 "$emulator_pid" 2>/dev/null || break
    sleep 0.1
    tries=$((tries - 1))
  done
  return 1
}

emulator_stop() {
  if [ -n "$emulator_pid" ]; then
    kill -TERM "$emulator_pid" 2>/dev/null || true
    wait "$emulator_pid" 2>/dev/null || true
    emulator_pid=
  fi
}
