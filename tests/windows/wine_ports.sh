# Shared by the Wine tests (tests/windows, tests/win32_window): simulators on ptys,
# mapped as COM ports through Wine's registry. Needs $sim (velorix-sim),
# $run (scripts/wine-run), $work (a scratch folder) and the array sims.

# start_sim NAME ARGS...: a simulator whose pty is linked at $work/NAME.
start_sim() {
  local name=$1
  shift
  rm -f "$work/$name"
  "$sim" --link "$work/$name" --quiet "$@" >/dev/null &
  sims+=($!)
  local i
  for i in $(seq 1 100); do
    [ -L "$work/$name" ] && return 0
    sleep 0.02
  done
  echo "velorix-sim did not start" >&2
  exit 1
}

stop_sims() {
  local pid
  for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${sims[@]}"; do wait "$pid" 2>/dev/null; done
  sims=()
}

# map_ports [COMn=LINK...]: exactly these COM ports, mapped to $work/LINK.
# Wine makes its port links from the registry when its server starts, so the
# server is stopped, the key rewritten, and the next program starts it anew.
map_ports() {
  {
    printf 'REGEDIT4\n\n[-HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n'
    local pair
    for pair in "$@"; do printf '"%s"="%s"\n' "${pair%%=*}" "$work/${pair#*=}"; done
  } > "$work/ports.reg"
  "$run" regedit /S "$(winepath_of "$work/ports.reg")" 2>/dev/null
  wineserver -k 2>/dev/null
  wineserver -w
  rm -f "$WINEPREFIX"/dosdevices/com*
  # Started here, so that what it prints (a long dump when a pty's other end
  # goes) goes to its own log rather than into a program's standard error.
  wineserver -p 2>>"$work/wineserver.log" >/dev/null
  # The first program of a server starts Wine's own services, which keep
  # that program's output open for as long as the server runs: a program
  # with no output attached starts them.
  "$run" cmd /c exit </dev/null >/dev/null 2>&1
}

# captured COMMAND...: what the command prints (both streams), without
# carriage returns, by way of a file. Never through a pipe: a Wine process
# the command starts (explorer.exe /desktop, when the first window appears)
# inherits its output and holds a pipe open for as long as the wineserver
# runs, and whoever reads the pipe waits for ever.
captured() {
  local file status=0
  file=$(mktemp "$work/captured.XXXXXX")
  "$@" >"$file" 2>&1 </dev/null || status=$?
  tr -d '\r' <"$file"
  rm -f "$file"
  return "$status"
}

winepath_of() { printf 'Z:%s' "${1//\//\\}"; }

# Every COM number the program may try names the port of that number, as it
# does without the variables; they are set so that no run depends on them.
com_variables=()
for n in $(seq 1 9); do com_variables+=("VELORIX_COM$n=COM$n"); done
