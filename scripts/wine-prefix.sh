#!/usr/bin/env bash
# Creates the Wine prefix the tests run in: a fresh Windows profile without
# the crash debugger, so a crashing test ends instead of waiting in winedbg.
set -euo pipefail
# ARCH (win64 or win32) is Wine's WINEARCH, read when the prefix is created;
# without it Wine's default (win64).
prefix=${1:?usage: wine-prefix.sh PREFIX [ARCH]}
arch=${2:-}
# A prefix made before 32-bit Wine was installed (or removed) does not start
# programs any more ("could not load kernel32.dll"): the marker records the
# loaders the prefix was made with, and another set makes it anew.
loaders=$(ls /usr/lib/wine/wine /usr/lib/wine/wine64 2>/dev/null | tr '\n' ' ')
if [ -f "$prefix/.talverin-ready" ] && [ "$(cat "$prefix/.talverin-ready")" = "$loaders" ]; then exit 0; fi
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ -n "$arch" ]; then export WINEARCH=$arch; fi
rm -rf "$prefix"
mkdir -p "$prefix"
wineboot -i >/dev/null 2>&1 </dev/null || true
wineserver -w
# Both registry views of a 64-bit prefix hold the debugger setting: its
# 32-bit programs read the one plain `wine reg` reaches once 32-bit Wine is
# installed, its 64-bit programs the other.
no_debugger() { "$@" reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f >/dev/null 2>&1 </dev/null || true; }
no_debugger wine
no_debugger bash "$(dirname "$0")/wine-native.sh"
wineserver -w
echo "$loaders" >"$prefix/.talverin-ready"
