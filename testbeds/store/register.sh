#!/usr/bin/env bash
# Registers the configuration-store test bed as the FPC root class in a Wine
# prefix: register.sh PREFIX [DLL]. Without DLL, the test bed built beside the
# prefix (<build>/testbeds/store/talverin_store_testbed.dll) is registered.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
prefix=${1:?usage: register.sh PREFIX [DLL]}
prefix=$(cd "$prefix" && pwd)
dll=${2:-$(dirname "$prefix")/testbeds/store/talverin_store_testbed.dll}
[ -f "$dll" ] || { echo "register.sh: $dll not found" >&2; exit 1; }
dll=$(cd "$(dirname "$dll")" && pwd)/$(basename "$dll")
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# Wine maps drive Z: to the Unix root.
windows_path="Z:${dll//\//\\}"
reg=$(mktemp --suffix=.reg)
trap 'rm -f "$reg"' EXIT
sed "s|@DLL_PATH@|${windows_path//\\/\\\\\\\\}|" "$here/store.reg.in" >"$reg"
# Output and input away from the caller's pipes: a Wine server started here
# must not hold them open. The 64-bit view explicitly: where 32-bit Wine is
# installed too, plain "wine reg" is the 32-bit tool and writes WOW6432Node.
wine reg import "$(winepath -w "$reg" 2>/dev/null </dev/null || echo "Z:${reg//\//\\}")" /reg:64 </dev/null >/dev/null 2>&1
echo "registered $windows_path in $prefix"
