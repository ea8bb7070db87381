#!/usr/bin/env bash
# How many single-point faults the tests catch. Each mutant of a list is put
# into the product source on its own, the builds of the test command are
# brought up to date, and the native tests and then the 64-bit Windows tests
# run until the first failure: a failing test kills the mutant, a mutant that
# passes everything survived. The source is put back after every mutant,
# and on any exit.
#
#   scripts/mutate.sh [MUTANTS] [FIRST [LAST]]
#
# MUTANTS (default scripts/mutants.txt) holds one mutant a line:
#   path @@ text @@ replacement
# text must occur exactly once in the file (blanks around @@ are not part of
# it); blank lines and lines starting with # are skipped. FIRST and LAST pick a range of mutants (1-based).
# The report goes to <build>/mutation/report.txt; one line per mutant:
# killed (with the test that failed), survived, no build, or not found.
# Needs the builds of scripts/test.sh (win64, native-asan) in the build root.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TALVERIN_BUILD_ROOT:-$root/build}
jobs=${TALVERIN_JOBS:-$(nproc)}
list=${1:-$root/scripts/mutants.txt}
first=${2:-1}
last=${3:-1000000}
out=$build/mutation
mkdir -p "$out"
report=$out/report.txt

for dir in win64 native-asan; do
  [ -f "$build/$dir/build.ninja" ] || { echo "mutate: no $build/$dir; run scripts/test.sh first" >&2; exit 2; }
done

# The file under mutation and its original, put back on every exit.
current=
backup=$out/original
restore() {
  # A fresh time stamp: the build must see the file as changed again.
  if [ -n "$current" ]; then cp "$backup" "$root/$current"; current=; fi
}
trap restore EXIT
trap 'exit 130' INT TERM

source "$root/scripts/wine-session.sh" "$build/win64/wineprefix"
trap 'restore; wine_session_end' EXIT

# The first failing test's name in a ctest log.
first_failure() { grep -m1 -E '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .*\*\*\*(Failed|Exception|Timeout)' "$1" |
                  sed -E 's/^.*Test +#[0-9]+: ([^ ]+).*/\1/'; }

: >"$report"
killed=0 survived=0 unusable=0 number=0
trim() { local t=$1; t=${t#"${t%%[![:space:]]*}"}; printf '%s' "${t%"${t##*[![:space:]]}"}"; }
# The list is read on its own descriptor: Wine and the tests may read stdin.
while IFS= read -r -u 3 line || [ -n "$line" ]; do
  case "$line" in '' | '#'*) continue ;; esac
  number=$((number + 1))
  [ "$number" -ge "$first" ] && [ "$number" -le "$last" ] || continue
  path=$(trim "${line%%@@*}")
  rest=${line#*@@}
  text=$(trim "${rest%%@@*}")
  replacement=$(trim "${rest#*@@}")
  label="$number $path: '$text' -> '$replacement'"
  if [ ! -f "$root/$path" ] || [ "$(grep -oF -- "$text" "$root/$path" | wc -l)" != 1 ]; then
    echo "not found  $label" | tee -a "$report"
    unusable=$((unusable + 1))
    continue
  fi
  cp -p "$root/$path" "$backup"
  current=$path
  TEXT=$text REPLACEMENT=$replacement perl -0pi -e 's/\Q$ENV{TEXT}\E/$ENV{REPLACEMENT}/' "$root/$path"

  verdict=
  # The Windows build (every test program relinked) only for what the native
  # tests let through.
  if ! cmake --build "$build/native-asan" -j "$jobs" >"$out/build.log" 2>&1; then
    verdict="no build"
  elif ! ctest --test-dir "$build/native-asan" -j "$jobs" --stop-on-failure --timeout 120 >"$out/native.log" 2>&1; then
    verdict="killed (native: $(first_failure "$out/native.log"))"
  elif ! cmake --build "$build/win64" -j "$jobs" >>"$out/build.log" 2>&1; then
    verdict="no build"
  elif ! ctest --test-dir "$build/win64" --stop-on-failure --timeout 300 >"$out/windows.log" 2>&1; then
    verdict="killed (Windows: $(first_failure "$out/windows.log"))"
  else
    verdict="survived"
  fi
  restore
  case "$verdict" in
    killed*) killed=$((killed + 1)) ;;
    survived) survived=$((survived + 1)) ;;
    *) unusable=$((unusable + 1)) ;;
  esac
  printf '%-10s %s\n' "${verdict%% (*}" "$label${verdict#"${verdict%% (*}"}" | tee -a "$report"
done 3<"$list"

# Bring the builds back to the source as it is.
cmake --build "$build/native-asan" -j "$jobs" >/dev/null 2>&1 || true
cmake --build "$build/win64" -j "$jobs" >/dev/null 2>&1 || true
echo "mutants killed $killed, survived $survived, not usable $unusable" | tee -a "$report"
