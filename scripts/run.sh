#!/usr/bin/env bash
# Main job: builds the filter and publishes the gateway's built-in mail site
# through it on http://127.0.0.1:8080/ (TALVERIN_PORT), for a real browser:
# the gateway is the ISA/TMG web proxy with TALVERIN.ISA.Filter.dll loaded,
# the test back end runs as the out-of-process service and texts the
# passcodes to its console and outbox. The configuration is demo/gateway.conf.
# Ctrl-C stops the gateway, the back end and the Wine prefix's server.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
port=${TALVERIN_PORT:-8080}
source "$root/scripts/demo-env.sh"

bash "$root/scripts/deps.sh"
echo "== Building"
demo_build
demo_init demo

followers=()
# Shows a process's console output, each line marked, until the process ends.
follow() {
  local name=$1 file=$2 pid=$3
  # Deaf to the terminal's Ctrl-C: the last lines come after it.
  ( trap '' INT; tail -n +1 -s 0.2 --pid="$pid" -F "$file" 2>/dev/null | sed -u -e 's/\r$//' -e "s/^/[$name] /" ) &
  followers+=($!)
}

stopped=
stop() {
  [ -z "$stopped" ] || return 0
  stopped=1
  # Whatever the terminal does now (a second Ctrl-C, a reader of our output
  # gone), the stop goes on to the end.
  trap '' INT TERM HUP PIPE
  set +e
  echo
  echo "== Stopping the gateway, the back end and the Wine server of $WINEPREFIX"
  local status=0
  demo_stop_all || status=$?
  for pid in "${followers[@]}"; do
    # They end with their process; what is left is only their last second.
    local deadline=$((SECONDS + 2))
    while kill -0 "$pid" 2>/dev/null && [ $SECONDS -lt $deadline ]; do sleep 0.1; done
    kill "$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
  echo "== Stopped"
  return $status
}
trap stop EXIT
trap 'exit 130' INT TERM HUP

echo "== Preparing the Wine prefix $WINEPREFIX"
demo_install "$root/demo/gateway.conf"
demo_trace_level 1
rm -f "$demo_dir/filter/Logs/"*

echo "== Starting the back end (out-of-process service)"
demo_backend_start
follow "back end" "$demo_backend_log" "$demo_backend_pid"
echo "== Starting the gateway"
demo_gateway_start --listen "127.0.0.1:$port"
sleep 0.3
follow gateway "$demo_gateway_log" "$demo_gateway_pid"
sleep 0.5

what_user_sees() {
  case $1 in
    valid) echo "gets a passcode by text message, then the mail pages" ;;
    bypass) echo "no passcode needed: the mail pages right after the password" ;;
    locked) echo "locked out: back to the logon form" ;;
    denied) echo "denied: back to the logon form" ;;
    *) echo "back end status $1" ;;
  esac
}

cat <<EOF

============================================================================
 Open ${demo_gateway_url}owa/ in a browser on this machine.

 Users (name / password: what happens):
EOF
awk '/^[ \t]*\[/ { on = ($0 ~ /^[ \t]*\[users\]/); next }
     on && NF && $0 !~ /^[ \t]*#/' "$demo_dir/gateway.conf" |
while IFS='|' read -r name _ password status; do
  name=$(echo $name); password=$(echo $password); status=$(echo $status)
  printf '   %-22s %-12s %s\n' "$name" "$password" "$(what_user_sees "$status")"
done
cat <<EOF

 Passcodes: the back end's console lines below ("[back end] ... passcode=")
            and $demo_outbox
 Also:      ${demo_gateway_url}public/ (excluded: neither password nor passcode)
            ${demo_gateway_url}Microsoft-Server-ActiveSync (ActiveSync allowed:
            the password alone, no passcode)
 Trace log: $demo_dir/filter/Logs/TALVERIN.ISA.Filter.log
 Type "reload" to have the filter read its settings again.
 Ctrl-C (or "quit") stops everything.
============================================================================

EOF

# Lines typed here go to the gateway's console ("reload"); "quit" stops all.
input=1
while kill -0 "$demo_gateway_pid" 2>/dev/null; do
  if [ -z "$input" ]; then sleep 1; continue; fi
  line=
  if IFS= read -r -t 1 line; then
    case $line in
      quit) exit 0 ;;
      '') ;;
      *) echo "$line" >&"$demo_gateway_fd" ;;
    esac
  elif [ $? -le 128 ]; then
    input=  # end of input: run on until Ctrl-C
  fi
done
status=0
wait "$demo_gateway_pid" || status=$?
echo "demo: the gateway ended by itself (exit code $status)" >&2
exit 1
