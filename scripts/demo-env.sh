# Sourced: the steps the main job and the browser tests share. One instance
# is a folder below the build root holding a Wine prefix of its own, the
# filter installed as an administrator installs it, the gateway's
# configuration and the files of the back end; the gateway and the back end
# run as processes of the caller, which stops them by process id.
#
#   demo_init NAME              instance folder <build root>/NAME
#   demo_build                  builds what the gateway needs (nothing when up to date)
#   demo_install CONFIG         installs the filter and the configuration, prepares the prefix
#   demo_trace_level N          the filter's TraceLevel for the next gateway start
#   demo_backend_start          the back end's local server, by hand, started again when it dies
#   demo_gateway_start [ARG..]  the gateway (--listen, --no-filter), waits for "Gateway ready"
#   demo_gateway_stop, demo_backend_stop, demo_stop_all
#
# Afterwards: demo_dir, demo_data (the gateway's derived files), demo_outbox,
# demo_gateway_url, demo_gateway_pid, demo_backend_pid (its supervisor),
# demo_gateway_log, demo_backend_log; demo_backend_current, demo_backend_restarts.

demo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
demo_build_root=${TALVERIN_BUILD_ROOT:-$demo_root/build}
demo_win64=$demo_build_root/win64
demo_backend_pid=
demo_gateway_pid=
demo_gateway_url=
demo_gateway_fd=
demo_session=

# Wine maps drive Z: to the Unix root.
demo_winpath() { local p=$1; printf 'Z:%s' "${p//\//\\}"; }

demo_init() {
  demo_dir=$demo_build_root/${1:?demo_init NAME}
  export WINEPREFIX=$demo_dir/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  demo_backend_log=$demo_dir/backend.log
  demo_gateway_log=$demo_dir/gateway.log
  demo_outbox=$demo_dir/backend/outbox.txt
  mkdir -p "$demo_dir/backend"
}

demo_build() {
  if [ ! -f "$demo_win64/build.ninja" ]; then
    cmake -S "$demo_root" -B "$demo_win64" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_TOOLCHAIN_FILE="$demo_root/cmake/mingw-w64-x86_64.cmake" >/dev/null
  fi
  cmake --build "$demo_win64" -j "${TALVERIN_JOBS:-$(nproc)}" --target talverin_filter talverin_locale_en \
    talverin_test_backend_dll talverin_test_backend_exe talverin_store_testbed talverin_gateway
}

# A persistent wineserver for the instance's prefix, created on first use.
# Processes of the session start outside the caller's process group: a
# Ctrl-C at the terminal reaches the script, which then stops them in order.
demo_session_start() {
  [ -n "$demo_session" ] && return 0
  bash "$demo_root/scripts/wine-prefix.sh" "$WINEPREFIX"
  wineserver -p 2>/dev/null || true  # one may still run from an earlier start
  setsid wine cmd /c exit </dev/null >/dev/null 2>&1 || true
  demo_session=1
}

demo_session_end() {
  [ -n "$demo_session" ] || return 0
  wineserver -k 2>/dev/null || true
  demo_session=
}

demo_copy_if_changed() { cmp -s "$1" "$2" || cp "$1" "$2"; }

# The value of KEY in the [gateway] section of a configuration file.
demo_config_value() {
  awk -v key="$2" '
    /^[ \t]*\[/ { section = $0; gsub(/[ \t\[\]]/, "", section); next }
    section == "gateway" && $0 ~ "^[ \t]*" key "[ \t]*=" {
      sub(/^[^=]*=[ \t]*/, ""); sub(/[ \t]*(#.*)?$/, ""); print; exit
    }' "$1"
}

demo_install() {
  local config=${1:?demo_install CONFIG}
  local filter_dir=$demo_dir/filter
  # The filter as an administrator installs it: DLL, Locale folder, empty Logs folder.
  mkdir -p "$filter_dir/Locale" "$filter_dir/Logs"
  demo_copy_if_changed "$demo_win64/src/filter/TALVERIN.ISA.Filter.dll" "$filter_dir/TALVERIN.ISA.Filter.dll"
  demo_copy_if_changed "$demo_win64/src/filter/Locale/talverin.isa.filter.en.dll" \
    "$filter_dir/Locale/talverin.isa.filter.en.dll"
  # Relative paths of the configuration are relative to its folder: the
  # instance's copy finds the installed filter beside it.
  demo_copy_if_changed "$config" "$demo_dir/gateway.conf"
  local data
  data=$(demo_config_value "$demo_dir/gateway.conf" data)
  case ${data:=gateway-data} in
    /*) demo_data=$data ;;
    *) demo_data=$demo_dir/$data ;;
  esac
  demo_session_start

  # The derived files (the store's listeners, the back end's users) come
  # from the gateway; a bad configuration stops here with its line.
  local status=0
  wine "$demo_win64/testbeds/gateway/talverin_gateway.exe" "$(demo_winpath "$demo_dir/gateway.conf")" --check \
    </dev/null 2>&1 | tr -d '\r' >&2 || status=$?
  if [ $status -ne 0 ]; then
    echo "demo: $config is not a valid configuration (the line above names its copy)" >&2
    return 1
  fi

  # Registration again only when something it depends on changed.
  local stamp=$WINEPREFIX/.talverin-demo-registered key
  key=$( { echo "$demo_dir"; cat "$demo_data/store.conf" "$filter_dir/TALVERIN.ISA.Filter.dll" \
           "$demo_win64/testbeds/store/talverin_store_testbed.dll" "$demo_root/testbeds/backend/register.sh" \
           "$demo_root/testbeds/store/register.sh" "$demo_root/testbeds/store/store.reg.in"; } | sha256sum)
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$key" ] && [ -s "$demo_dir/fpc_store_filters.txt" ]; then
    return 0
  fi
  rm -f "$stamp"
  bash "$demo_root/testbeds/backend/register.sh" "$WINEPREFIX" service "$demo_win64/testbeds/backend" >/dev/null
  bash "$demo_root/testbeds/store/register.sh" "$WINEPREFIX" "$demo_win64/testbeds/store/talverin_store_testbed.dll" >/dev/null
  # The web filter's entry goes to this instance's store (a failure writes
  # its trace log to the current folder).
  ( cd "$demo_dir" &&
    TALVERIN_STORE_CONFIG=$(demo_winpath "$demo_data/store.conf") \
    TALVERIN_STORE_FILTERS=$(demo_winpath "$demo_dir/fpc_store_filters.txt") \
    wine regsvr32 /s "$(demo_winpath "$filter_dir/TALVERIN.ISA.Filter.dll")" </dev/null >/dev/null 2>&1 ) || {
    echo "demo: regsvr32 TALVERIN.ISA.Filter.dll failed" >&2
    [ ! -f "$demo_dir/.log" ] || tr -d '\r' <"$demo_dir/.log" >&2
    return 1
  }
  grep -qi '6E394025-1BC0-4737-B999-31B84BAB6D4C' "$demo_dir/fpc_store_filters.txt" 2>/dev/null || {
    echo "demo: the filter's registration is missing from $demo_dir/fpc_store_filters.txt" >&2
    return 1
  }
  echo "$key" >"$stamp"
}

demo_trace_level() {
  bash "$demo_root/scripts/wine-native.sh" reg add 'HKLM\SOFTWARE\TALVERIN\ISA' /v TraceLevel /t REG_DWORD /d "${1:?}" /f </dev/null >/dev/null 2>&1
}

# Waits up to SECONDS for a line matching PATTERN in FILE while process PID
# lives; prints the line.
demo_wait_line() {
  local file=$1 pattern=$2 pid=$3 seconds=$4 line
  local deadline=$((SECONDS + seconds))
  while [ $SECONDS -lt $deadline ]; do
    line=$(tr -d '\r' <"$file" 2>/dev/null | grep -m1 -E "$pattern" || true)
    if [ -n "$line" ]; then printf '%s\n' "$line"; return 0; fi
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.2
  done
  return 1
}

# Ends PID within SECONDS of the first signal: SIGNAL, then SIGKILL.
demo_end_process() {
  local pid=$1 signal=$2 seconds=$3
  local deadline=$((SECONDS + seconds))
  [ -n "$signal" ] && kill "-$signal" "$pid" 2>/dev/null
  while kill -0 "$pid" 2>/dev/null && [ $SECONDS -lt $deadline ]; do sleep 0.2; done
  if kill -0 "$pid" 2>/dev/null; then
    echo "demo: process $pid did not end, killing it" >&2
    kill -KILL "$pid" 2>/dev/null
  fi
  wait "$pid" 2>/dev/null
}

# The back end as an administrator configures the real service: started
# again when it ends without being asked to (a crash, a kill). Its console
# output goes to demo_backend_log across restarts; demo_backend_pid is the
# supervisor, demo_backend_current prints the server's own process id.
demo_backend_start() {
  : >"$demo_backend_log"
  : >"$demo_outbox"
  : >"$demo_dir/backend/audit.txt"
  rm -f "$demo_dir/backend.stop" "$demo_dir/backend.pid" "$demo_dir/backend.restarts"
  # Exported: every server the supervisor starts reads them.
  export TALVERIN_BACKEND_USERS TALVERIN_BACKEND_DATA
  TALVERIN_BACKEND_USERS=$(demo_winpath "$demo_data/users.txt")
  TALVERIN_BACKEND_DATA=$(demo_winpath "$demo_dir/backend")
  demo_backend_supervise &
  demo_backend_pid=$!
  if ! demo_wait_line "$demo_backend_log" 'serving, process' "$demo_backend_pid" 60 >/dev/null; then
    echo "demo: the back end did not start" >&2
    tr -d '\r' <"$demo_backend_log" >&2
    demo_backend_stop
    return 1
  fi
}

# The server's own process id (the one to kill to stand in for a crash).
demo_backend_current() { cat "$demo_dir/backend.pid" 2>/dev/null; }

# How often the supervisor has started the back end again.
demo_backend_restarts() { cat "$demo_dir/backend.restarts" 2>/dev/null || echo 0; }

demo_backend_supervise() {
  # A Ctrl-C at the terminal is for the script, which stops us in order.
  trap '' INT
  local exe=$demo_win64/testbeds/backend/TalverinTestBackend.exe
  local restarts=0 pid status started
  while :; do
    started=$SECONDS
    setsid wine "$exe" </dev/null >>"$demo_backend_log" 2>&1 &
    pid=$!
    echo "$pid" >"$demo_dir/backend.pid"
    status=0
    # (The shell's own report of a killed job would only repeat ours.)
    { wait "$pid" || status=$?; } 2>/dev/null
    [ ! -e "$demo_dir/backend.stop" ] || return 0
    restarts=$((restarts + 1))
    echo "demo: the back end (process $pid) ended with exit code $status; starting it again (restart $restarts)"
    # Windows forgets the class registration of a server process that dies;
    # Wine's RPC service keeps it and hands the dead registration to every
    # client before any live one, so no client could reach the new server.
    # A fresh RPC service (started again by the next COM call) knows only
    # the servers that register from now on.
    timeout 30 wine net stop rpcss </dev/null >/dev/null 2>&1 || true
    echo "$restarts" >"$demo_dir/backend.restarts"
    # A server that cannot even start is not started again in a busy loop.
    [ $((SECONDS - started)) -ge 5 ] || sleep 5
    [ ! -e "$demo_dir/backend.stop" ] || return 0
  done
}

demo_backend_stop() {
  [ -n "$demo_backend_pid" ] || return 0
  touch "$demo_dir/backend.stop"
  local pid
  pid=$(demo_backend_current)
  # Ctrl-C for a console process of Wine: the server ends as on Ctrl+C.
  [ -z "$pid" ] || demo_end_process "$pid" INT 5
  demo_end_process "$demo_backend_pid" "" 10
  demo_backend_pid=
}

demo_gateway_start() {
  : >"$demo_gateway_log"
  local fifo=$demo_dir/gateway.stdin
  rm -f "$fifo"
  mkfifo "$fifo"
  # The script holds the console's writing end: end of input never comes,
  # and "quit" is one line away.
  exec {demo_gateway_fd}<>"$fifo"
  setsid wine "$demo_win64/testbeds/gateway/talverin_gateway.exe" "$(demo_winpath "$demo_dir/gateway.conf")" "$@" \
    <&"$demo_gateway_fd" {demo_gateway_fd}>&- >"$demo_gateway_log" 2>&1 &
  demo_gateway_pid=$!
  local ready
  if ! ready=$(demo_wait_line "$demo_gateway_log" '^Gateway ready: ' "$demo_gateway_pid" 90); then
    echo "demo: the gateway did not get ready" >&2
    tr -d '\r' <"$demo_gateway_log" >&2
    demo_gateway_stop
    return 1
  fi
  demo_gateway_url=${ready#Gateway ready: }
}

# Graceful: "quit" on the console, running requests finish; Ctrl-C, then
# SIGKILL, for a gateway that does not end. Answers the gateway's exit code.
demo_gateway_stop() {
  [ -n "$demo_gateway_pid" ] || return 0
  local status=0
  if kill -0 "$demo_gateway_pid" 2>/dev/null; then
    echo quit >&"$demo_gateway_fd" 2>/dev/null || true
    local deadline=$((SECONDS + 30))
    while kill -0 "$demo_gateway_pid" 2>/dev/null && [ $SECONDS -lt $deadline ]; do sleep 0.2; done
    if kill -0 "$demo_gateway_pid" 2>/dev/null; then
      echo "demo: the gateway did not stop on quit" >&2
      demo_end_process "$demo_gateway_pid" INT 5
      status=1
    fi
  fi
  wait "$demo_gateway_pid" 2>/dev/null || status=$?
  exec {demo_gateway_fd}>&-
  rm -f "$demo_dir/gateway.stdin"
  demo_gateway_pid=
  demo_gateway_url=
  return $status
}

demo_stop_all() {
  local status=0
  demo_gateway_stop || status=$?
  demo_backend_stop
  demo_session_end
  return $status
}
