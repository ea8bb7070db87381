#!/usr/bin/env bash
# The module's surface: exactly the eight entry points, and imports from system DLLs only (no runtime DLL of the
# compiler may be needed at the host). With FORMAT (pei-x86-64 or pei-i386) the module must be of that format; a
# 32-bit module's entry points must also be the stdcall functions the host calls (callee pops the arguments).
set -euo pipefail
dll=${1:?usage: check_dll_surface.sh MODULE.dll}
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
dump=$("$objdump" -p "$dll")
format=$("$objdump" -f "$dll" | awk '/file format/ {print $NF}')
if [[ -n "${FORMAT:-}" && "$format" != "$FORMAT" ]]; then
  echo "module format $format, expected $FORMAT"; exit 1
fi

exports=$(awk '/\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && /^[ \t]*\[ *[0-9]+\]/ {print $NF; next} on {on=0}' <<<"$dump" | sort)
expected=$(printf '%s\n' DllRegisterServer DllUnregisterServer GetFilterVersion GetWPXFilterVersion \
  HttpFilterProc HttpWPXFilterProc ReloadWPXFilterConfiguration TerminateFilter | sort)
if [[ "$exports" != "$expected" ]]; then
  echo "unexpected export table:"; echo "$exports"; exit 1
fi

status=0
if [[ "$format" == pei-i386 ]]; then
  # 32-bit Windows calls an exception handler of this module only if the module does not declare itself free of
  # handlers (NO_SEH) and has no SafeSEH table, which the linker would not fill with the fault guard's.
  characteristics=$(awk '/^DllCharacteristics/ {print $2}' <<<"$dump")
  if (( (0x$characteristics & 0x400) != 0 )); then echo "module is marked NO_SEH"; status=1; fi
  load_config=$(awk '/Load Configuration Directory/ {print $3}' <<<"$dump")
  if [[ -n "$load_config" && "$load_config" != 00000000 ]]; then
    echo "module has a load configuration (SafeSEH table) the fault guard's handler is not in"; status=1
  fi
  # A function of another convention has no "_name@bytes" symbol.
  symbols=$("$objdump" -t "$dll")
  for stdcall in GetFilterVersion@4 HttpFilterProc@12 TerminateFilter@4 GetWPXFilterVersion@4 HttpWPXFilterProc@12 \
    ReloadWPXFilterConfiguration@0 DllRegisterServer@0 DllUnregisterServer@0; do
    grep -qE " _${stdcall}\$" <<<"$symbols" || { echo "no stdcall function _$stdcall"; status=1; }
  done
fi

system='^(kernel32|advapi32|user32|gdi32|ole32|oleaut32|version|dbghelp|msvcrt|shell32|shlwapi|ws2_32|crypt32|secur32|rpcrt4|ntdll|api-ms-win-[a-z0-9-]+)\.dll$'
nonsystem=$(awk '/DLL Name:/ {print tolower($3)}' <<<"$dump" | grep -Ev "$system" || true)
if [[ -n "$nonsystem" ]]; then echo "non-system imports: $nonsystem"; status=1; fi
[[ $(grep -c 'DLL Name:' <<<"$dump") -gt 0 ]] || { echo "no import table found"; exit 1; }
exit $status
