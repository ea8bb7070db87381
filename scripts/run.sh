#!/usr/bin/env bash
# Main job: builds the filter and walks one browser down the logon road of the
# emulated ISA/TMG proxy with the real TALVERIN.ISA.Filter.dll loaded, the test
# back end registered as the back-end service and the configuration-store test
# bed holding one protected web listener. Prints every exchange, the filter's
# trace log and the text messages the back end sent.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TALVERIN_BUILD_ROOT:-$root/build}/win64
demo=${TALVERIN_BUILD_ROOT:-$root/build}/demo

bash "$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$build" -j "$(nproc)" --target talverin_filter talverin_locale_en talverin_isa_road \
  talverin_test_backend_dll talverin_store_registered wineprefix

source "$root/scripts/wine-session.sh" "$build/wineprefix"
trap wine_session_end EXIT

# The filter as an administrator installs it: DLL, Locale folder, empty Logs folder.
rm -rf "$demo"; mkdir -p "$demo/filter/Logs" "$demo/filter/Locale" "$demo/backend"
cp "$build/src/filter/TALVERIN.ISA.Filter.dll" "$demo/filter/"
cp "$build/src/filter/Locale/talverin.isa.filter.en.dll" "$demo/filter/Locale/"
cp "$root/demo/fpc_store.conf" "$root/testbeds/backend/backend-users.txt" "$demo/"

wine reg add 'HKLM\SOFTWARE\TALVERIN\ISA' /v TraceLevel /t REG_DWORD /d 1 /f >/dev/null 2>&1 </dev/null
bash "$root/testbeds/backend/register.sh" "$WINEPREFIX" inproc "$(dirname "$(find "$build/testbeds/backend" -name TalverinTestBackend.dll | head -1)")" >/dev/null

export TALVERIN_STORE_CONFIG=$(winepath -w "$demo/fpc_store.conf")
export TALVERIN_BACKEND_USERS=$(winepath -w "$demo/backend-users.txt")
export TALVERIN_BACKEND_DATA=$(winepath -w "$demo/backend")

road=$(find "$build/testbeds/host" -name talverin_isa_road.exe | head -1)
echo "== A browser asks for /owa/ and logs on as CONTOSO\\alice"
status=0
wine "$road" "$(winepath -w "$demo/filter/TALVERIN.ISA.Filter.dll")" "$TALVERIN_STORE_CONFIG" "$TALVERIN_BACKEND_USERS" \
  --user 'CONTOSO\alice' --password 'Alice-2fa!' </dev/null || status=$?

echo; echo "== The filter's trace log ($demo/filter/Logs/TALVERIN.ISA.Filter.log)"
tail -n 40 "$demo/filter/Logs/TALVERIN.ISA.Filter.log" 2>/dev/null | tr -d '\r' || echo "(no log)"
echo; echo "== Text messages sent by the back end ($demo/backend/outbox.txt)"
cat "$demo/backend/outbox.txt" 2>/dev/null | tr -d '\r' || echo "(none)"
exit $status
