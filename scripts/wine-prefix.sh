#!/usr/bin/env bash
# Creates the Wine prefix the tests run in: a fresh Windows profile without
# the crash debugger, so a crashing test ends instead of waiting in winedbg.
set -euo pipefail
prefix=${1:?usage: wine-prefix.sh PREFIX}
if [ -f "$prefix/.talverin-ready" ]; then exit 0; fi
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$prefix"
mkdir -p "$prefix"
wineboot -i >/dev/null 2>&1 </dev/null || true
wineserver -w
# Both views: where 32-bit Wine is installed too, 32-bit programs have their own.
for view in 64 32; do
  wine reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f /reg:$view >/dev/null 2>&1 </dev/null || true
done
wineserver -w
touch "$prefix/.talverin-ready"
