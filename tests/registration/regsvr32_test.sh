#!/usr/bin/env bash
# The administrator's way in: regsvr32 on the built DLL adds the web filter to
# the configuration store (the store test bed persists it to a file we can
# read), a second registration changes nothing, and regsvr32 /u removes it,
# twice without complaint.
set -euo pipefail
prefix=$1 dll=$2
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export TALVERIN_STORE_FILTERS=$work/filters.txt
windll=$(winepath -w "$dll" 2>/dev/null)
guid='{6E394025-1BC0-4737-B999-31B84BAB6D4C}'

fail() {
  echo "FAIL: $*"
  [ -f "$TALVERIN_STORE_FILTERS" ] && cat "$TALVERIN_STORE_FILTERS"
  [ -s "$work/regsvr32.out" ] && { echo "regsvr32 said:"; cat "$work/regsvr32.out"; }
  exit 1
}
# With the prefix's own loader, through the runner that starts a program
# again when Wine failed to start it at all.
regsvr() {
  (cd "$work" && TALVERIN_WINE="$scripts/wine-native.sh" bash "$scripts/wine-exec.sh" regsvr32 /s "$@" "$windll" \
    </dev/null >"$work/regsvr32.out" 2>&1)
}

regsvr || fail "regsvr32 answered $?"
grep -qF "[filter $guid]" "$TALVERIN_STORE_FILTERS" || fail "filter not saved"
grep -qF "name = TALVERIN ISA Filter" "$TALVERIN_STORE_FILTERS" || fail "name not saved"
grep -qF "version = 4.0" "$TALVERIN_STORE_FILTERS" || fail "version not saved"
grep -qF "enabled = yes" "$TALVERIN_STORE_FILTERS" || fail "not enabled"
before=$(cat "$TALVERIN_STORE_FILTERS")

regsvr || fail "second regsvr32 answered $?"
[ "$(cat "$TALVERIN_STORE_FILTERS")" = "$before" ] || fail "second registration changed the store"

regsvr /u || fail "regsvr32 /u answered $?"
if grep -qF "$guid" "$TALVERIN_STORE_FILTERS"; then fail "filter still registered"; fi
regsvr /u || fail "second regsvr32 /u answered $?"
echo "regsvr32 register, re-register, unregister, re-unregister: ok"
