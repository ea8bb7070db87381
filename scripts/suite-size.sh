#!/usr/bin/env bash
# Lines (wc -l) of the tests against the product and test-bed code: tracked and new
# files, without package-lock.json and Markdown. scripts/suite-size.sh [ROOT]
cd "${1:-$(dirname "$0")/..}"
list() { git ls-files -co --exclude-standard -- "$@" | grep -Ev '(package-lock.json|\.md)$' | while read -r f; do [ -f "$f" ] && echo "$f"; done; }
lines() { list "$@" | xargs -r cat | wc -l; }
tb=$(ls -d testbeds/*/tests)
t=$(lines tests $tb); c=$(lines src testbeds $(for d in $tb; do echo ":!$d"; done))
for d in tests/* $tb; do [ -d "$d" ] && printf '%6d %s\n' "$(lines "$d")" "$d"; done
echo "tests $t code $c ratio $(awk "BEGIN{printf \"%.2f\", $t/$c}") (aim: tests <= $((c/3)))"
