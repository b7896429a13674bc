# Shared by the scripts: starts and stops the simulated instrument.
#   start_sim LINK [sim options...]   starts it with a symlink at LINK; sets SIM_PID
#   stop_sim                          stops the one start_sim started
#   map_com_ports PATH                COM2 -> PATH, COM1 and COM3..COM9 -> paths that don't exist

SIM_PID=""

start_sim() {
  local link=$1; shift
  rm -f "$link"
  "$VELORIX_BIN/velorix-sim" --link "$link" --quiet "$@" >/dev/null &
  SIM_PID=$!
  local i
  for i in $(seq 1 100); do
    [ -e "$link" ] && return 0
    kill -0 "$SIM_PID" 2>/dev/null || { echo "velorix-sim did not start" >&2; return 1; }
    sleep 0.05
  done
  echo "velorix-sim did not create $link" >&2
  return 1
}

stop_sim() {
  [ -n "$SIM_PID" ] || return 0
  kill "$SIM_PID" 2>/dev/null || true
  wait "$SIM_PID" 2>/dev/null || true
  SIM_PID=""
}

# Every COM number the program might try gets its variable: a number without
# one goes to the machine's own serial ports (and COM1 may be the console).
map_com_ports() {
  local n
  for n in 1 2 3 4 5 6 7 8 9; do
    export "VELORIX_COM$n=/nonexistent/velorix-com$n"
  done
  export VELORIX_COM2=$1
}
