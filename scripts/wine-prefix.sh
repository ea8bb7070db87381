#!/usr/bin/env bash
# Creates the Wine prefix the tests run in: a fresh Windows profile without
# the crash debugger, so a crashing test ends instead of waiting in winedbg.
set -euo pipefail
prefix=${1:?usage: wine-prefix.sh PREFIX}
# A prefix made before wine32 was installed (or removed) does not start
# programs any more ("could not load kernel32.dll"): the marker records the
# loaders the prefix was made with, and another set makes it anew.
loaders=$(ls /usr/lib/wine/wine /usr/lib/wine/wine64 2>/dev/null | tr '\n' ' ')
if [ -f "$prefix/.talverin-ready" ] && [ "$(cat "$prefix/.talverin-ready")" = "$loaders" ]; then exit 0; fi
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# With wine32 installed, Debian's "wine" runs Wine's own programs (regedit,
# reg) as 32-bit ones, which write the 32-bit view of the registry; the 64-bit
# filter and tests read the 64-bit view. Wine's 64-bit loader, when there is
# one, runs the 64-bit programs.
wine64=/usr/lib/wine/wine64
[ -x "$wine64" ] || wine64=wine
rm -rf "$prefix"
mkdir -p "$prefix"
wineboot -i >/dev/null 2>&1 </dev/null || true
wineserver -w
"$wine64" reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f >/dev/null 2>&1 </dev/null || true
wineserver -w
echo "$loaders" >"$prefix/.talverin-ready"
