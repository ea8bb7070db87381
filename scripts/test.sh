#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds the 64-bit and the
# 32-bit DLL with their test beds and runs their tests under 64-bit and 32-bit
# Wine, runs the pure-logic tests natively under AddressSanitizer
# and UBSan, runs each fuzz target for a bounded time, and ends with the filter
# behind the gateway in a real browser and under load.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TALVERIN_BUILD_ROOT:-$root/build}
jobs=${TALVERIN_JOBS:-$(nproc)}

bash "$root/scripts/deps.sh"

step() { printf '\n==== %s ====\n' "$*"; }

step "64-bit Windows build"
cmake -S "$root" -B "$build/win64" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$build/win64" -j "$jobs"

step "32-bit Windows build"
cmake -S "$root" -B "$build/win32" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake" >/dev/null
cmake --build "$build/win32" -j "$jobs"

step "Native pure-logic tests (AddressSanitizer, UBSan)"
cmake -S "$root" -B "$build/native-asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTALVERIN_SANITIZE=ON -DTALVERIN_FUZZ=ON >/dev/null
cmake --build "$build/native-asan" -j "$jobs"
ctest --test-dir "$build/native-asan" --output-on-failure -j "$jobs"

step "Fuzzing"
bash "$root/scripts/fuzz.sh" "$build/native-asan"

step "Windows tests under Wine"
source "$root/scripts/wine-session.sh" "$build/win64/wineprefix"
trap wine_session_end EXIT
ctest --test-dir "$build/win64" --output-on-failure -j "${TALVERIN_WINE_JOBS:-1}"
wine_session_end

step "32-bit Windows tests under 32-bit Wine"
source "$root/scripts/wine-session.sh" "$build/win32/wineprefix" win32
ctest --test-dir "$build/win32" --output-on-failure -j "${TALVERIN_WINE_JOBS:-1}"
wine_session_end

step "Real browser and load check"
bash "$root/scripts/browser-test.sh"
