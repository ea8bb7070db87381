#!/usr/bin/env bash
# Registers the test back end in a Wine prefix: both hosts under their own
# ProgIDs, and the filter's ProgID pointed at the chosen one.
#   register.sh PREFIX [inproc|local|service|unregister] [BINDIR]
# service: the local server as the production service is installed: its
# class without a command for COM to start, so clients reach only the one
# process that a supervisor keeps running (scripts/demo-env.sh).
set -euo pipefail
prefix=${1:?usage: register.sh PREFIX [inproc|local|service|unregister] [BINDIR]}
mode=${2:-inproc}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
bindir=${3:-}
if [ -z "$bindir" ]; then
  for candidate in "$root/build-server/win64/testbeds/backend" "$root/build/win64/testbeds/backend"; do
    if [ -f "$candidate/TalverinTestBackend.dll" ]; then bindir=$candidate; break; fi
  done
fi
if [ -z "$bindir" ] || [ ! -f "$bindir/TalverinTestBackend.dll" ] || [ ! -f "$bindir/TalverinTestBackend.exe" ]; then
  echo "register.sh: TalverinTestBackend.dll/.exe not found (give BINDIR)" >&2
  exit 1
fi
bindir=$(cd "$bindir" && pwd)

inproc='{D6644A5B-B472-4C9C-AF9B-F4A992509EA6}'
local='{C2F29DC9-1957-4830-9CE6-3DAC754B1AD4}'
filter_progid='TALVERIN.ISA.Service.Object.ConnectionMaster'
classes='HKEY_LOCAL_MACHINE\Software\Classes'
case $mode in
  inproc) chosen=$inproc ;;
  local | service) chosen=$local ;;
  unregister) chosen= ;;
  *) echo "register.sh: mode must be inproc, local, service or unregister" >&2; exit 2 ;;
esac

# Wine maps drive Z: to the Unix root; .reg strings double their backslashes.
winpath() { printf 'Z:%s' "$1" | sed 's|/|\\\\|g'; }
dll=$(winpath "$bindir/TalverinTestBackend.dll")
exe=$(winpath "$bindir/TalverinTestBackend.exe")

reg="$bindir/backend-$mode.reg"
{
  echo 'Windows Registry Editor Version 5.00'
  echo
  if [ -z "$chosen" ]; then
    echo "[-$classes\\$filter_progid]"
    echo "[-$classes\\TALVERIN.TestBackend.InProc]"
    echo "[-$classes\\TALVERIN.TestBackend.Local]"
    echo "[-$classes\\CLSID\\$inproc]"
    echo "[-$classes\\CLSID\\$local]"
  else
    echo "[$classes\\CLSID\\$inproc]"
    echo '@="TALVERIN test back end (in-process)"'
    echo "[$classes\\CLSID\\$inproc\\InprocServer32]"
    echo "@=\"$dll\""
    echo '"ThreadingModel"="Both"'
    echo "[$classes\\CLSID\\$inproc\\ProgID]"
    echo '@="TALVERIN.TestBackend.InProc"'
    echo "[$classes\\CLSID\\$local]"
    echo '@="TALVERIN test back end (local server)"'
    if [ "$mode" = service ]; then
      echo "[-$classes\\CLSID\\$local\\LocalServer32]"
    else
      echo "[$classes\\CLSID\\$local\\LocalServer32]"
      echo "@=\"$exe\""
    fi
    echo "[$classes\\CLSID\\$local\\ProgID]"
    echo '@="TALVERIN.TestBackend.Local"'
    echo "[$classes\\TALVERIN.TestBackend.InProc\\CLSID]"
    echo "@=\"$inproc\""
    echo "[$classes\\TALVERIN.TestBackend.Local\\CLSID]"
    echo "@=\"$local\""
    echo "[$classes\\$filter_progid]"
    echo '@="TALVERIN back-end connection master"'
    echo "[$classes\\$filter_progid\\CLSID]"
    echo "@=\"$chosen\""
  fi
} > "$reg"

WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
  bash "$root/scripts/wine-native.sh" regedit /S "$(printf 'Z:%s' "$reg" | sed 's|/|\\|g')" </dev/null >/dev/null 2>&1
if [ -z "$chosen" ]; then
  echo "removed the test back end's registration from $prefix"
else
  echo "registered the test back end ($mode) from $bindir in $prefix"
fi
