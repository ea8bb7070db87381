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

# CTest counts a skipped test as passed; here a skip fails the suite, since
# no test of this project may skip over a failure of the product.
run_ctest() {
  local log
  log=$(mktemp)
  local status=0
  ctest --output-on-failure "$@" | tee "$log" || status=$?
  if grep -q '\*\*\*Skipped\|\*\*\*Not Run' "$log"; then
    echo "FAILED: tests were skipped or not run:" >&2
    grep '\*\*\*Skipped\|\*\*\*Not Run' "$log" >&2
    status=1
  fi
  rm -f "$log"
  return "$status"
}

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
run_ctest --test-dir "$build/native-asan" -j "$jobs"

step "Fuzzing"
bash "$root/scripts/fuzz.sh" "$build/native-asan"

step "Windows tests under Wine"
source "$root/scripts/wine-session.sh" "$build/win64/wineprefix"
trap wine_session_end EXIT
run_ctest --test-dir "$build/win64" -j "${TALVERIN_WINE_JOBS:-1}"
wine_session_end

step "32-bit Windows tests under 32-bit Wine"
source "$root/scripts/wine-session.sh" "$build/win32/wineprefix" win32
run_ctest --test-dir "$build/win32" -j "${TALVERIN_WINE_JOBS:-1}"
wine_session_end

step "Real browser and load check"
bash "$root/scripts/browser-test.sh"
