#!/usr/bin/env bash
# The module's surface: exactly the eight entry points, and imports from
# system DLLs only (no runtime DLL of the compiler may be needed at the host).
set -euo pipefail
dll=${1:?usage: check_dll_surface.sh MODULE.dll}
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
dump=$("$objdump" -p "$dll")

exports=$(awk '/\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && /^[ \t]*\[ *[0-9]+\]/ {print $NF; next} on {on=0}' <<<"$dump" | sort)
expected=$(printf '%s\n' DllRegisterServer DllUnregisterServer GetFilterVersion GetWPXFilterVersion \
  HttpFilterProc HttpWPXFilterProc ReloadWPXFilterConfiguration TerminateFilter | sort)
if [[ "$exports" != "$expected" ]]; then
  echo "unexpected export table:"; echo "$exports"; exit 1
fi

system='^(kernel32|advapi32|user32|gdi32|ole32|oleaut32|version|dbghelp|msvcrt|shell32|shlwapi|ws2_32|crypt32|secur32|rpcrt4|ntdll|api-ms-win-[a-z0-9-]+)\.dll$'
status=0
while read -r name; do
  lower=$(tr 'A-Z' 'a-z' <<<"$name")
  if [[ ! "$lower" =~ $system ]]; then
    echo "non-system import: $name"; status=1
  fi
done < <(awk '/DLL Name:/ {print $3}' <<<"$dump")
[[ $(grep -c 'DLL Name:' <<<"$dump") -gt 0 ]] || { echo "no import table found"; exit 1; }
exit $status
