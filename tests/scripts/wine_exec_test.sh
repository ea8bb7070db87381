#!/usr/bin/env bash
# The Wine runner starts a program again only when Wine failed to start it.
set -u
runner=$1 dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
export COMPLAINT="Application could not be started, or no application associated with the specified file."
# A stand-in for wine: fails to start the program until its FAILS-th call.
cat >"$dir/wine" <<'FAKE'
#!/usr/bin/env bash
n=$(( $(cat "$COUNT" 2>/dev/null || echo 0) + 1 )); echo $n >"$COUNT"
[ "$n" -lt "$FAILS" ] && { echo "$COMPLAINT"; exit 1; }
echo "[==========] $*"
exit "$STATUS"
FAKE
chmod +x "$dir/wine"
check() {  # check NAME FAILS STATUS EXPECTED_STATUS EXPECTED_CALLS
  rm -f "$dir/count"
  out=$(COUNT=$dir/count FAILS=$2 STATUS=$3 TALVERIN_WINE=$dir/wine bash "$runner" test.exe --x 2>/dev/null)
  local status=$? calls=$(cat "$dir/count") want="[==========] test.exe --x"
  [ "$2" -gt "$5" ] && want=$COMPLAINT  # never started: Wine's complaint is passed on
  [ "$status" = "$4" ] && [ "$calls" = "$5" ] && [ "$out" = "$want" ] && return
  echo "FAIL $1: exit $status after $calls starts with '$out', expected exit $4 after $5"
  exit 1
}
check "started at once" 1 0 0 1
check "a failed start is tried again" 3 0 0 3
check "a program's own failure is not run again" 1 7 7 1
check "three failed starts are reported" 9 0 1 3
