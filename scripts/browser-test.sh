#!/usr/bin/env bash
# The filter in a real browser and under load, behind the gateway (the ISA/TMG
# web proxy emulation on a real socket) with the test back end as the
# out-of-process service, in a Wine prefix of its own (build/browser):
#   1. tests/browser/browser.test.mjs: Chromium (headless, driven by
#      Playwright) walks the logon road; screenshots in build/artifacts/browser;
#   2. the load check: wrk with TALVERIN_LOAD_CONNECTIONS (8) connections, each
#      with a session of its own, against a protected page for
#      TALVERIN_LOAD_SECONDS (5), with the filter and without it (--no-filter),
#      and with the filter calling the back end in its own process;
#   3. the back-end outage: tests/browser/outage.mjs keeps sessions in every
#      state asking while the back-end process is killed
#      TALVERIN_OUTAGE_KILLS (3) times and its supervisor starts it again.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/demo-env.sh"
browser=$root/tests/browser
connections=${TALVERIN_LOAD_CONNECTIONS:-8}
outage_kills=${TALVERIN_OUTAGE_KILLS:-3}
seconds=${TALVERIN_LOAD_SECONDS:-5}
load_url=/owa/inbox.html

bash "$root/scripts/deps.sh"
demo_build
# Playwright (only its driver: the browser is Debian's Chromium), as pinned
# by the lock file.
lock_sum=$(sha256sum "$browser/package-lock.json" | cut -d' ' -f1)
if [ "$(cat "$browser/node_modules/.talverin-lock" 2>/dev/null)" != "$lock_sum" ]; then
  (cd "$browser" && npm ci --no-audit --no-fund --loglevel=error)
  echo "$lock_sum" >"$browser/node_modules/.talverin-lock"
fi

demo_init browser
artifacts=$demo_build_root/artifacts/browser
rm -rf "$artifacts"
mkdir -p "$artifacts"
keep_logs() {
  local status=$?
  demo_stop_all || true
  cp "$demo_gateway_log" "$demo_backend_log" "$demo_dir"/gateway-*.log "$artifacts/" 2>/dev/null || true
  cp "$demo_dir/filter/Logs/"* "$demo_outbox" "$artifacts/" 2>/dev/null || true
  return $status
}
trap keep_logs EXIT

step() { printf '\n---- %s\n' "$*"; }

# A machine fault caught inside the filter fails the step it happened in. Its
# dump (full memory: tens of seconds to write under Wine) is let finish before
# the gateway is stopped, so that the artifacts hold a dump that can be read,
# and the log shows where the fault happened.
trace_log=$demo_dir/filter/Logs/TALVERIN.ISA.Filter.log
dump=$demo_dir/filter/Logs/TALVERIN.ISA.Filter.dll.dmp
faults_seen=0
check_faults() {
  local faults size=-1 now
  [ -f "$trace_log" ] || return 0
  faults=$(tr -d '\r' <"$trace_log" | grep -c 'SEH caught' || true)
  local seen=$faults_seen
  faults_seen=$faults  # (the log may have been started anew)
  [ "$faults" -gt "$seen" ] || return 0
  for _ in $(seq 1 60); do
    now=$(stat -c %s "$dump" 2>/dev/null || echo 0)
    [ "$now" = "$size" ] && [ "$now" -gt 0 ] && break
    size=$now
    sleep 2
  done
  echo "FAILED: $1: the filter caught a machine fault (dump in $artifacts)" >&2
  tr -d '\r' <"$trace_log" | grep -B 12 -A 1 'SEH caught' | tail -n 40 >&2
  node "$root/scripts/dump-stack.mjs" "$dump" "$demo_dir/filter/TALVERIN.ISA.Filter.dll" \
    "$demo_win64/testbeds/gateway/talverin_gateway.exe" /usr/lib/x86_64-linux-gnu/wine/x86_64-windows >&2 || true
  return 1
}

step "Preparing the Wine prefix $WINEPREFIX"
demo_install "$browser/gateway.conf"
rm -f "$demo_dir/filter/Logs/"*
demo_trace_level 1
demo_backend_start

step "Browser test"
demo_gateway_start --listen 127.0.0.1:0
echo "gateway at $demo_gateway_url"
export TALVERIN_GATEWAY_URL=$demo_gateway_url TALVERIN_OUTBOX=$demo_outbox TALVERIN_ARTIFACTS=$artifacts
status=0
node --test --test-reporter=spec "$browser/browser.test.mjs" || status=$?
check_faults "browser test" || status=1
gateway_status=0
demo_gateway_stop || gateway_status=$?
cp "$demo_gateway_log" "$demo_dir/gateway-browser.log"
if [ $gateway_status -ne 0 ] || ! grep -q '^Gateway stopped' <(tr -d '\r' <"$demo_gateway_log"); then
  echo "FAILED: the gateway did not stop gracefully on quit (exit code $gateway_status)" >&2
  tail -n 20 "$demo_gateway_log" >&2
  status=1
fi
[ $status -eq 0 ] || { echo "FAILED: browser test (screenshots and logs in $artifacts)" >&2; exit 1; }

step "Load check: $connections connections, ${seconds} s, GET $load_url"
# The access log and the trace log stay quiet: both are file writes per
# request under Wine, and the numbers are about the filter.
sed -e 's/^access-log *=.*/access-log = no/' "$browser/gateway.conf" >"$demo_dir/load.conf"
demo_install "$demo_dir/load.conf"
demo_trace_level 0

declare -A rps
load_failures=0
load() {
  local name=$1 road=$2; shift 2
  demo_gateway_start --listen 127.0.0.1:0 "$@"
  local cookies=$demo_dir/load-cookies-$name.txt out=$demo_dir/load-$name.txt
  TALVERIN_GATEWAY_URL=$demo_gateway_url TALVERIN_LOAD_URL=$load_url \
    node "$browser/load-sessions.mjs" "$connections" "$road" "$cookies"
  TALVERIN_LOAD_COOKIES=$cookies TALVERIN_LOAD_URL=$load_url \
    wrk -t "$connections" -c "$connections" -d "${seconds}s" --timeout 5s -s "$browser/load.lua" \
    "${demo_gateway_url%/}$load_url" >"$out" 2>&1 || true
  check_faults "load check $name" || load_failures=$((load_failures + 1))
  demo_gateway_stop || true
  cp "$demo_gateway_log" "$demo_dir/gateway-load-$name.log"
  cat "$out"
  local line
  line=$(grep '^LOAD requests=' "$out" || true)
  if [ -z "$line" ]; then
    echo "FAILED: wrk gave no result ($name)" >&2
    load_failures=$((load_failures + 1))
    return
  fi
  local -A f
  local pair
  for pair in ${line#LOAD }; do f[${pair%%=*}]=${pair#*=}; done
  if [ "${f[requests]}" -eq 0 ] || [ "${f[bad]}" -ne 0 ] || [ "${f[good]}" -ne "${f[requests]}" ] ||
     [ $((f[connect] + f[read] + f[write] + f[status] + f[timeout])) -ne 0 ]; then
    echo "FAILED: load check $name: not every request got the site page" >&2
    load_failures=$((load_failures + 1))
  fi
  rps[$name]=$(awk -v n="${f[requests]}" -v s="${f[seconds]}" 'BEGIN { printf "%.0f", n / s }')
  rps[$name-latency]=${f[mean_ms]}
}
load filter passcode
load plain password --no-filter
# The same with the back end in the gateway's process: what the filter costs
# apart from the calls to another process (slow under Wine's COM). The
# registration is put back for the next run; until then it is not vouched for.
stamp=$WINEPREFIX/.talverin-demo-registered
mv "$stamp" "$stamp.away"
bash "$root/testbeds/backend/register.sh" "$WINEPREFIX" inproc "$demo_win64/testbeds/backend" >/dev/null
load inproc passcode
bash "$root/testbeds/backend/register.sh" "$WINEPREFIX" service "$demo_win64/testbeds/backend" >/dev/null
mv "$stamp.away" "$stamp"

step "Back-end outage: the back end killed $outage_kills times under load"
demo_gateway_start --listen 127.0.0.1:0
connects() { tr -d '\r' <"$trace_log" 2>/dev/null | grep -c 'Connection to service has been established successfully.' || true; }
connects_before=$(connects)
outage_status=0
TALVERIN_GATEWAY_URL=$demo_gateway_url TALVERIN_OUTBOX=$demo_outbox TALVERIN_LOAD_URL=$load_url \
  TALVERIN_BACKEND_PIDFILE=$demo_dir/backend.pid TALVERIN_BACKEND_RESTARTS=$demo_dir/backend.restarts \
  TALVERIN_OUTAGE_KILLS=$outage_kills node "$browser/outage.mjs" || outage_status=$?
check_faults "back-end outage" || outage_status=1
demo_gateway_stop || true
cp "$demo_gateway_log" "$demo_dir/gateway-outage.log"
# The gateway's first connect and one after each restart of the back end.
reconnects=$(($(connects) - connects_before))
echo "the filter connected to the back end $reconnects times ($outage_kills restarts)"
if [ "$reconnects" -lt $((outage_kills + 1)) ]; then
  echo "FAILED: the filter did not connect again after every restart of the back end" >&2
  outage_status=1
fi
[ $outage_status -eq 0 ] || load_failures=$((load_failures + 1))

printf '\nRequests per second, %d connections with a session each, GET %s for %d s:\n' "$connections" "$load_url" "$seconds"
# Each run beside the gateway without the filter, measured in the same run.
ratio() { awk -v a="${rps[$1]:-0}" -v b="${rps[plain]:-0}" 'BEGIN { if (a > 0 && b > 0) printf "%.2f", a / b; else printf "?" }'; }
printf '  %-44s %10s %16s %12s\n' "" "requests/s" "mean latency ms" "of no filter"
printf '  %-44s %10s %16s %12s\n' "with the filter (back end out of process)" "${rps[filter]:-?}" \
  "${rps[filter-latency]:-?}" "$(ratio filter)"
printf '  %-44s %10s %16s %12s\n' "without the filter (--no-filter)" "${rps[plain]:-?}" "${rps[plain-latency]:-?}" \
  "$(ratio plain)"
printf '  %-44s %10s %16s %12s\n' "with the filter, back end in process" "${rps[inproc]:-?}" \
  "${rps[inproc-latency]:-?}" "$(ratio inproc)"
[ $load_failures -eq 0 ] || exit 1
echo "Browser test, load check and back-end outage passed"
