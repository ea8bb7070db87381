# Sourced: starts a persistent wineserver for the given prefix, so that each
# test process does not pay for a cold server, and defines wine_session_end to
# stop that prefix's processes only.
# ARCH as in wine-prefix.sh, for a prefix not created yet.
prefix=$(realpath -m "${1:?usage: source wine-session.sh PREFIX [ARCH]}")
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
bash "$(dirname "${BASH_SOURCE[0]}")/wine-prefix.sh" "$WINEPREFIX" ${2:-}
# A short-lived server (from preparing the prefix) is waited for; one that
# stays, such as the persistent server of an earlier run that was cut short,
# is used as it is rather than waited for without end.
timeout 10 wineserver -w 2>/dev/null || true
wineserver -p 2>/dev/null || true
# Start the server outside any pipe: a server born inside ctest's pipes would
# hold them open and every test would wait for it.
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
wine_session_end() { WINEPREFIX=$prefix wineserver -k 2>/dev/null || true; }
