#!/usr/bin/env bash
# The Wine runner starts a program again only when Wine failed to start it.
set -u
runner=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
# A stand-in for wine: fails to start the program until its FAILS-th call.
cat >"$dir/wine" <<'FAKE'
#!/usr/bin/env bash
n=$(( $(cat "$COUNT" 2>/dev/null || echo 0) + 1 )); echo $n >"$COUNT"
if [ "$n" -lt "$FAILS" ]; then
  echo "Application could not be started, or no application associated with the specified file."
  echo "ShellExecuteEx failed: Internal error."
  exit 1
fi
echo "[==========] $*"
exit "$STATUS"
FAKE
chmod +x "$dir/wine"
failures=0
check() {  # check NAME FAILS STATUS EXPECTED_STATUS EXPECTED_CALLS
  rm -f "$dir/count"
  COUNT=$dir/count FAILS=$2 STATUS=$3 TALVERIN_WINE=$dir/wine bash "$runner" test.exe --x >"$dir/out" 2>/dev/null
  local status=$? calls
  calls=$(cat "$dir/count")
  if [ "$status" != "$4" ] || [ "$calls" != "$5" ]; then
    echo "FAIL $1: exit $status after $calls starts, expected exit $4 after $5"
    failures=$((failures + 1))
  fi
}
check "started at once" 1 0 0 1
check "a failed start is tried again" 3 0 0 3
check "three failed starts are reported" 9 0 1 3
check "a program's own failure is not run again" 1 7 7 1
grep -q '^\[==========\] test.exe --x$' "$dir/out" || { echo "FAIL: the program's output is not passed on"; failures=$((failures + 1)); }
[ $failures -eq 0 ] && echo "wine runner: all checks passed"
exit $failures
