#!/usr/bin/env bash
# Stress check of the back end as a server process of its own: every test
# that starts, uses and ends TalverinTestBackend.exe runs RUNS times in a row
# (default 5) while busy loops keep every core occupied, as on a build
# machine shared with other work. Slow (a minute or more a run), so not part
# of scripts/test.sh. Prints each run and the totals; fails if any run did.
#   bash scripts/stress-local.sh [RUNS]
# Environment: TALVERIN_BUILD_ROOT, TALVERIN_JOBS, TALVERIN_STRESS_LOAD (busy
# loops, default nproc).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TALVERIN_BUILD_ROOT:-$root/build}
jobs=${TALVERIN_JOBS:-$(nproc)}
runs=${1:-5}
busy=${TALVERIN_STRESS_LOAD:-$(nproc)}
# The parameterized tests' out-of-process variants (CTest names end in the
# parameter's comment).
tests='/Local( |$)'

bash "$root/scripts/deps.sh"
if [ ! -f "$build/win64/build.ninja" ]; then
  cmake -S "$root" -B "$build/win64" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
fi
cmake --build "$build/win64" -j "$jobs" --target talverin_test_backend_exe talverin_store_registered \
  stub_backend_tests

source "$root/scripts/wine-session.sh" "$build/win64/wineprefix"
loops=()
finish() {
  [ ${#loops[@]} -eq 0 ] || kill "${loops[@]}" 2>/dev/null || true
  wine_session_end
}
trap finish EXIT
for _ in $(seq "$busy"); do
  ( while :; do :; done ) &
  loops+=($!)
done

logs=$build/artifacts/stress-local
mkdir -p "$logs"
passed_runs=0
total=$SECONDS
printf '%-5s %-8s %-10s %s\n' run result tests seconds
for run in $(seq "$runs"); do
  started=$SECONDS
  status=0
  ctest --test-dir "$build/win64" -R "$tests" --output-on-failure >"$logs/run-$run.log" 2>&1 || status=$?
  summary=$(grep -Eo '[0-9]+ tests failed out of [0-9]+' "$logs/run-$run.log" || echo "0 tests failed out of 0")
  read -r failed _ _ _ _ count <<<"$summary"
  if [ $status -eq 0 ]; then
    passed_runs=$((passed_runs + 1))
    printf '%-5s %-8s %-10s %s\n' "$run" passed "$count/$count" $((SECONDS - started))
  else
    printf '%-5s %-8s %-10s %s\n' "$run" FAILED "$((count - failed))/$count" $((SECONDS - started))
    grep -E '^\s+[0-9]+ - ' "$logs/run-$run.log" | sed 's/^/      /' || true
  fi
done
printf 'Local server stress: %d of %d runs passed beside %d busy loops in %d s (logs in %s)\n' \
  "$passed_runs" "$runs" "$busy" $((SECONDS - total)) "$logs"
[ "$passed_runs" -eq "$runs" ]
