#!/usr/bin/env bash
# Runs a Windows program (regedit, reg, regsvr32, ...) in $WINEPREFIX with the
# Wine loader of the prefix's own width. Once Debian's 32-bit Wine is
# installed, plain `wine` is the 32-bit loader: in a 64-bit prefix it starts
# the 32-bit regedit, reg and regsvr32, whose registry writes land in the
# 32-bit view (Wow6432Node) that 64-bit programs never read.
set -euo pipefail
loader=wine
if [ -x /usr/lib/wine/wine64 ] && ! grep -qs '^#arch=win32' "${WINEPREFIX:-$HOME/.wine}/system.reg"; then
  loader=/usr/lib/wine/wine64
fi
exec "$loader" "$@"
