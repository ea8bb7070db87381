#!/usr/bin/env bash
# Runs a Windows program under Wine for CTest and the build. When two cores are
# busy, Wine now and then fails to start a program at all ("Application could
# not be started ... ShellExecuteEx failed"), before any of the program's code
# has run; that start is tried again, twice at most. A program that started is
# never run again, so its failures are its own.
set -u
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
for attempt in 1 2 3; do
  "${TALVERIN_WINE:-/usr/bin/wine}" "$@" >"$out" 2>"$err"
  status=$?
  if [ $status -ne 0 ] && [ $attempt -lt 3 ] &&
     grep -qs '^Application could not be started' "$out" "$err" &&
     ! grep -qs '^\[==========\]' "$out"; then
    echo "wine-exec: Wine did not start $1 (attempt $attempt); starting it again" >&2
    sleep 1
    continue
  fi
  break
done
cat "$out"
cat "$err" >&2
exit $status
