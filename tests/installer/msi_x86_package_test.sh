#!/usr/bin/env bash
# The 32-bit package, for ISA Server 2004 and 2006 on 32-bit Windows: of the
# Intel platform, no component 64-bit (Windows Installer refuses one there),
# the Logs folder's component permanent as in the 64-bit package, the 32-bit filter in it.
set -euo pipefail
msi=$(realpath -m "${1:?usage: msi_x86_package_test.sh PACKAGE.msi}")
fail() { echo "FAILED: $*" >&2; exit 1; }
template=$(msiinfo suminfo "$msi" | sed -n 's/^Template: //p')
[ "$template" = "Intel;1033" ] || fail "platform is '$template', not Intel;1033"
components=$(msiinfo export "$msi" Component | tail -n +4)
while IFS=$'\t' read -r name _ _ attributes _; do
  (( (attributes & 256) == 0 )) || fail "component $name is marked 64-bit (attributes $attributes)"
done <<<"$components"
logs=$(awk -F'\t' '$1 == "LogsFolder" { print $4 }' <<<"$components")
(( (logs & 16) != 0 )) || fail "the Logs folder's component is not permanent (attributes '$logs')"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && msiextract "$msi" >/dev/null)
dll=$(find "$work" -iname 'TALVERIN.ISA.Filter.dll' | head -1)
i686-w64-mingw32-objdump -f "${dll:-no filter in the package}" | grep -q 'file format pei-i386' ||
  fail "the packaged filter is not a 32-bit module"
