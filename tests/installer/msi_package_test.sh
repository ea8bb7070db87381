#!/usr/bin/env bash
# Every step of msiexec an administrator takes, in a fresh Wine prefix that stands for an ISA/TMG server (the
# store test bed registered, its installation folder recorded), and the installed filter's logon road and events.
set -euo pipefail
build=$1 src=$2 version=$3 next=$4 installed_tests=$5
work=$build/tests/installer/work && prefix=$build/tests/installer/work/prefix
wine64=/usr/lib/wine/wine64  # Wine's own programs as 64-bit ones (see testbeds/store/register.sh)
[ -x "$wine64" ] || wine64=wine

rm -rf "$work" && mkdir -p "$work"
bash "$src/scripts/wine-prefix.sh" "$prefix" >/dev/null
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineserver -p
"$wine64" cmd /c exit </dev/null >/dev/null 2>&1 || true
trap 'WINEPREFIX=$prefix wineserver -k 2>/dev/null || true' EXIT
bash "$src/testbeds/store/register.sh" "$prefix" "$build/testbeds/store/talverin_store_testbed.dll" >/dev/null
bash "$src/testbeds/backend/register.sh" "$prefix" inproc "$build/testbeds/backend" >/dev/null
export TALVERIN_STORE_FILTERS=$work/store_filters.txt
msi=$(winepath -w "$build/installer/TALVERIN.ISA.Filter-$version.msi")
next_msi=$(winepath -w "$build/tests/installer/TALVERIN.ISA.Filter-$next.msi")

fpc='C:\Program Files\Microsoft Forefront Threat Management Gateway'
fpc_unix=$prefix/drive_c/Program\ Files/Microsoft\ Forefront\ Threat\ Management\ Gateway
installed=$fpc_unix/TALVERIN
settings='HKLM\SOFTWARE\TALVERIN\ISA'
source_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\TALVERIN ISA Filter'
filter_entry='[filter {6E394025-1BC0-4737-B999-31B84BAB6D4C}]'
log=0

msi_log() { tr -d '\r' <"$prefix/drive_c/msi-$log.log"; }
fail() { echo "FAIL: $*"; [ "$log" = 0 ] || msi_log | grep -v '^Property' | tail -40; exit 1; }
pass() { echo "ok: $* (${SECONDS}s)"; }
# msiexec with a verbose log of its own, expected to answer $want (1603, a failure, is 67 modulo 256).
msi_run() {
  log=$((log + 1)) rc=0
  "$wine64" msiexec "$@" /qn /l*v "C:\\msi-$log.log" </dev/null >/dev/null 2>&1 || rc=$?
  [ "$rc" = "${want:-0}" ] || fail "msiexec $* answered $rc"
}
msi_log_has() { for text; do msi_log | grep -F "$text" >/dev/null || fail "not in the log: $text"; done; }
store_has() { for text; do grep -qF "$text" "$TALVERIN_STORE_FILTERS" || fail "the store's entry lacks '$text'"; done; }
reg() { "$wine64" reg "$@" </dev/null 2>/dev/null | tr -d '\r'; }
reg_add() { reg add "$@" /f >/dev/null; }
reg_value() { reg query "$1" /v "$2" | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"; }  # empty when there is none
expect_values() {  # KEY NAME=DATA..., an empty DATA for a value that must be gone
  local key=$1 pair && shift
  for pair; do
    [ "$(reg_value "$key" "${pair%%=*}")" = "${pair#*=}" ] || fail "not $pair: '$(reg_value "$key" "${pair%%=*}")'"
  done
}
products() {  # the version of each installed TALVERIN ISA Filter, one a line
  reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s |
    sed -n '/DisplayName *REG_SZ *TALVERIN ISA Filter$/,/^HKEY/s/^ *DisplayVersion *REG_SZ *//p'
}
one_product() { [ "$(products)" = "$1" ] || fail "not one product of version $1: '$(products)'"; }
store_lists_filter() { grep -qsF "$filter_entry" "$TALVERIN_STORE_FILTERS"; }
nothing_installed() {
  [ ! -e "$installed/TALVERIN.ISA.Filter.dll" ] && [ -z "$(reg_value "$settings" TraceLevel)$(products)" ] &&
    ! store_lists_filter || fail "$1 left something installed"
}

msiinfo export "$build/installer/TALVERIN.ISA.Filter-$version.msi" LaunchCondition |
  grep 'needs ISA Server or Forefront TMG' >/dev/null || fail "the package has no launch condition naming ISA/TMG"
want=67 msi_run /i "$msi"
msi_log_has 'LaunchConditions. Return value 0'
nothing_installed "an installation without ISA/TMG"
pass "refused without ISA/TMG"

reg_add 'HKLM\SOFTWARE\Microsoft\Fpc' /v InstallDirectory /t REG_SZ /d "$fpc"
mkdir -p "$fpc_unix"
want=67 msi_run /i "$msi" TRACELEVEL=high
msi_log_has "TRACELEVEL=high is not a number; the filter's TraceLevel takes a whole number."
nothing_installed "a bad TRACELEVEL"
pass "a setting that is not a number stops the installation"

want=67 TALVERIN_STORE_FAULTS='web-filters.save=0x80004005' msi_run /i "$msi"
msi_log_has 'could not be registered in the ISA/TMG configuration store: DllRegisterServer of' 'answered 0x80004005'
nothing_installed "the rollback"
pass "failed registration rolled back with its error"

msi_run /i "$msi" TRACELEVEL=1 LANGUAGE=en DEFAULTDOMAIN=CORP
for file in TALVERIN.ISA.Filter.dll Locale/talverin.isa.filter.en.dll; do
  cmp -s "$installed/$file" "$build/installer/stage-$version/$(basename "$file")" || fail "$file not installed"
done
expect_values "$settings" TraceLevel=0x1 Language=en DefaultDomain=CORP BlockMaxTime=0x78 BlockMaxRetryCount=0xa \
  FallbackFromFBAForbidden=0x1
expect_values "$source_key" "EventMessageFile=$fpc\\TALVERIN\\TALVERIN.ISA.Filter.dll" TypesSupported=0x7
store_has "$filter_entry" 'dll = TALVERIN\\TALVERIN.ISA.Filter.dll' 'enabled = yes'
one_product "$version"
# Wine keeps no access list of a file: the list is checked as the custom action applied it.
msi_log_has "Only Administrators and LocalSystem may open $fpc\\TALVERIN\\Logs\\: \
D:P(A;OICI;FA;;;BA)(A;OICI;0x13019f;;;S-1-5-18)"
pass "installed: files, settings, event source, store entry, Logs for Administrators and the proxy only"

reg_add "$settings" /v TraceLevel /t REG_DWORD /d 2
rm -f "$installed/Locale/talverin.isa.filter.en.dll"
msi_run /i "$msi" REINSTALL=ALL REINSTALLMODE=amus  # Wine's msiexec repairs through REINSTALL, not /f
[ -f "$installed/Locale/talverin.isa.filter.en.dll" ] || fail "the repair did not restore the resource library"
expect_values "$settings" TraceLevel=0x2 DefaultDomain=CORP
pass "repaired, the administrator's TraceLevel kept"

before=$(cat "$TALVERIN_STORE_FILTERS")
# This time the Firewall service runs as the network service.
reg_add 'HKLM\SYSTEM\CurrentControlSet\Services\fwsrv' /v ObjectName /t REG_SZ /d 'NT AUTHORITY\NetworkService'
msi_run /i "$next_msi"
msi_log_has "may open $fpc\\TALVERIN\\Logs\\: D:P(A;OICI;FA;;;BA)(A;OICI;0x13019f;;;S-1-5-20)"
one_product "$next"
cmp -s "$installed/TALVERIN.ISA.Filter.dll" "$build/tests/installer/stage-$next/TALVERIN.ISA.Filter.dll" ||
  fail "the upgrade did not install the new DLL"
expect_values "$settings" TraceLevel=0x2 DefaultDomain=CORP
[ "$(cat "$TALVERIN_STORE_FILTERS")" = "$before" ] || fail "the upgrade changed the store entry"
pass "upgraded to $next in place, settings and store entry kept"

want=67 msi_run /i "$msi"
one_product "$next"
pass "the older package refuses to install over the newer one"

trace=$work/events.txt
TALVERIN_FILTER_UNDER_TEST=$(winepath -w "$installed") TALVERIN_EVENT_TRACE=$(winepath -w "$trace") \
  TALVERIN_EXPECTED_VERSION=$next WINEDEBUG=-all,+eventlog,fixme+advapi wine "$installed_tests" --gtest_brief=1 \
  --gtest_filter='RoadTest.PasswordThenPasscode*:RoadTest.WrongPasscode*:RoadTest.RefusedUsers*:InstalledEventsTest.*' \
  </dev/null 2>"$trace" || fail "the installed filter's road and events tests answered $?"
pass "the installed filter walks the logon road and writes its events"

# The road's tests own the settings key: a repair writes it again, for the removal below to remove.
msi_run /i "$next_msi" REINSTALL=ALL REINSTALLMODE=mus
expect_values "$settings" TraceLevel=0x0
[ -f "$installed/Logs/TALVERIN.ISA.Filter.log" ] || fail "the filter wrote no trace log"
# A store that refuses the removal stops it before anything goes.
want=67 TALVERIN_STORE_FAULTS='web-filters.remove=0x80004005' msi_run /x "$next_msi"
msi_log_has 'could not be removed from the ISA/TMG configuration store: DllUnregisterServer of'
[ -f "$installed/TALVERIN.ISA.Filter.dll" ] && store_lists_filter && [ "$(products)" = "$next" ] ||
  fail "a refused removal removed something"
pass "a removal the store refuses leaves everything in place"

msi_run /x "$next_msi"
[ ! -e "$installed/Locale" ] || fail "files left behind"
nothing_installed "the removal"
expect_values "$settings" TraceLevel= Language= DefaultDomain= BlockMaxTime= BlockMaxRetryCount= \
  FallbackFromFBAForbidden=
expect_values "$source_key" EventMessageFile=
[ -f "$installed/Logs/TALVERIN.ISA.Filter.log" ] || fail "the Logs folder or its contents went"
pass "removed: files, settings, event source and store entry; Logs kept"
