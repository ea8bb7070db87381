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
# must not hold them open.
bash "$here/../../scripts/wine-native.sh" regedit /S "$(winepath -w "$reg" 2>/dev/null </dev/null || echo "Z:${reg//\//\\}")" </dev/null >/dev/null 2>&1
echo "registered $windows_path in $prefix"
