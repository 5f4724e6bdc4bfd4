#!/usr/bin/env bash
# Runs a Windows program under Wine (Debian's wine64) for the tests:
#   wine-run.sh PROGRAM.exe [ARGUMENT...]
# Uses a Wine prefix of its own, made once and quietly, so that Wine prints
# nothing of its own while the program runs.
set -u
wine=${WINE:-/usr/lib/wine/wine64}
[[ -x $wine ]] || wine=$(command -v wine64 || command -v wine) || {
    echo "wine-run.sh: Wine is not installed (apt-get install wine64)" >&2
    exit 1
}
export WINEPREFIX=${WINEPREFIX:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/dspstereo-wine}
export WINEDEBUG=${WINEDEBUG:--all}
if [[ ! -f $WINEPREFIX/system.reg ]]; then
    mkdir -p "$WINEPREFIX"
    (
        flock 9
        [[ -f $WINEPREFIX/system.reg ]] || "$wine" wineboot --init >/dev/null 2>&1
    ) 9>"$WINEPREFIX.lock"
fi
# Keep one Wine server running between the tests' many short runs, instead of
# starting it anew for each.
server=${wine%/*}/wineserver64
[[ -x $server ]] && "$server" -p30 >/dev/null 2>&1
exec "$wine" "$@"
