#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail
packages=(g++-mingw-w64-x86-64 g++-mingw-w64-i686 mingw-w64-x86-64-dev wine wine64
          cmake ninja-build googletest g++ clang libclang-rt-14-dev python3 ccache
          chromium fonts-liberation wrk wixl msitools)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# The 32-bit build's tests run under Debian's 32-bit Wine, a package of the
# i386 architecture.
packages_i386=(wine32:i386)
multiarch=1
dpkg --print-foreign-architectures | grep -qx i386 || multiarch=0
for p in "${packages_i386[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# Node.js may come from elsewhere than Debian (its own npm included); only a
# machine without node and npm gets Debian's.
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd=sudo
  export DEBIAN_FRONTEND=noninteractive
  # i386 packages are found only once the architecture is added and the
  # package lists are read again.
  [ "$multiarch" -eq 1 ] || $sudo_cmd dpkg --add-architecture i386
  $sudo_cmd apt-get update
  $sudo_cmd apt-get install -y --no-install-recommends "${missing[@]}"
fi
