#!/usr/bin/env bash
# Runs every fuzz target of a native clang build for a bounded time, starting
# from the seed corpus in the tree; any finding fails the run and is kept in
# <build>/fuzz/findings/, never in the tree.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: fuzz.sh NATIVE_BUILD_DIR}
seconds=${TALVERIN_FUZZ_SECONDS:-20}
found=0
findings=$build/fuzz/findings
mkdir -p "$findings"
for target in "$build"/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus=$(mktemp -d)
  if [ -d "$root/fuzz/corpus/${name#fuzz_}" ]; then cp -r "$root/fuzz/corpus/${name#fuzz_}/." "$corpus/"; fi
  echo "-- $name for ${seconds}s"
  if ! "$target" -max_total_time="$seconds" -print_final_stats=0 -artifact_prefix="$findings/$name-" \
      "$corpus" >"$corpus.log" 2>&1; then
    tail -n 60 "$corpus.log"; found=1
    echo "the input is kept in $findings"
  fi
  rm -rf "$corpus" "$corpus.log"
done
exit $found
