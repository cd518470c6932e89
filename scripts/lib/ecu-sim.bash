# Sourced by scripts/demo and bench/flash-run: a virtual bus of their own with the tool's VN1640
# channel and a simulated ECU on it, and the start, wait and stop of ecu-sim.

# absolute_path <path>: the path as it stands when absolute, else below the current folder.
absolute_path() {
  case $1 in
    /*) printf '%s\n' "$1" ;;
    *) printf '%s\n' "$PWD/$1" ;;
  esac
}

# virtual_bus <folder> <bus>: one virtual bus of that name, its driver configuration (xl.cfg) and its
# buses in the folder: the tool's VN1640 channel and the simulator's virtual channel (type 1, which the
# tool's interface detection leaves out). Exports VOFLASH_XL_CONFIG and VOFLASH_BUS_DIR.
virtual_bus() {
  cat > "$1/xl.cfg" <<CFG
VN1640 Channel 1, 59, 0, 0, CAN+LIN, 40001, $2
ECU sim, 1, 0, 1, CAN+LIN, 1, $2
CFG
  export VOFLASH_XL_CONFIG=$1/xl.cfg
  export VOFLASH_BUS_DIR=$1/bus
}

# ecu_sim_start <log> <ecu-sim> [options...]: starts the simulator in the background, its output in
# the log, and waits up to 10 s for "ecu-sim: ready". Its process id is in ecu_sim_pid. When it does
# not get ready: the log, "<script>: ecu-sim did not start" and status 1.
ecu_sim_pid=
ecu_sim_start() {
  local log=$1
  shift
  "$@" > "$log" 2>&1 &
  ecu_sim_pid=$!
  for _ in $(seq 1 200); do
    grep -q "ecu-sim: ready" "$log" 2>/dev/null && return 0
    sleep 0.05
  done
  grep -q "ecu-sim: ready" "$log" && return 0
  cat "$log"
  echo "${0##*/}: ecu-sim did not start"
  return 1
}

# stop_process <pid>: SIGTERM to a background process of this shell; waits for it and gives its exit
# status. Nothing (status 0) without a pid.
stop_process() {
  [ -n "$1" ] || return 0
  kill -TERM "$1" 2>/dev/null || true
  wait "$1"
}

# ecu_sim_stop: stops the simulator (which saves its memory file) and gives its exit status.
ecu_sim_stop() {
  local pid=$ecu_sim_pid
  ecu_sim_pid=
  stop_process "$pid"
}
