#!/usr/bin/env bash
# The administrator's way in: regsvr32 on the built DLL adds the web filter to
# the configuration store (which the store test bed saves to a file), a second
# registration changes nothing, and regsvr32 /u removes it, twice without
# complaint.
set -euo pipefail
prefix=$1 dll=$2
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export TALVERIN_STORE_FILTERS=$work/filters.txt
windll=$(winepath -w "$dll" 2>/dev/null)

fail() {
  echo "FAIL: $*"
  cat "$TALVERIN_STORE_FILTERS" "$work/regsvr32.out" 2>/dev/null || true
  exit 1
}
# With the prefix's own loader, through the runner that starts a program
# again when Wine failed to start it at all.
regsvr() {
  (cd "$work" && TALVERIN_WINE="$scripts/wine-native.sh" bash "$scripts/wine-exec.sh" regsvr32 /s "$@" "$windll" \
    </dev/null >"$work/regsvr32.out" 2>&1) || fail "regsvr32 $* answered $?"
}

regsvr
for line in "[filter {6E394025-1BC0-4737-B999-31B84BAB6D4C}]" "name = TALVERIN ISA Filter" "version = 4.0" \
            "enabled = yes"; do
  grep -qF "$line" "$TALVERIN_STORE_FILTERS" || fail "not saved: $line"
done
before=$(cat "$TALVERIN_STORE_FILTERS")
regsvr
[ "$(cat "$TALVERIN_STORE_FILTERS")" = "$before" ] || fail "second registration changed the store"
regsvr /u
! grep -qF "6E394025-1BC0-4737-B999-31B84BAB6D4C" "$TALVERIN_STORE_FILTERS" || fail "filter still registered"
regsvr /u
echo "regsvr32 register, re-register, unregister, re-unregister: ok"
