#!/bin/sh
# Runs a Windows program under Wine in a prefix of the build's own.
# ZV_PREFIX names the prefix (default "main"); it lives in wine/<name> beside
# this script in the build folder and is made once, under a lock, the first
# time it is needed.
set -e
here=$(cd "$(dirname "$0")" && pwd)
root=${ZV_WINE_ROOT:-$here/wine}
mkdir -p "$root"
root=$(cd "$root" && pwd)
name=${ZV_PREFIX:-main}
export WINEPREFIX="$root/$name"
export WINEARCH=win64
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}

if [ ! -f "$WINEPREFIX/.ready" ]; then
    (
        flock 9
        if [ ! -f "$WINEPREFIX/.ready" ]; then
            rm -rf "$WINEPREFIX"
            wine wineboot --init >/dev/null 2>&1 || true
            wineserver -w
            touch "$WINEPREFIX/.ready"
        fi
    ) 9>"$root/$name.lock"
fi

# Keep the prefix's wineserver alive between the many short test programs
# (a cold start costs a second or more); it ends 30 s after the last one.
# The session's system processes (services.exe and friends) are started
# here with no terminal of ours: whichever program starts them lends them
# its output streams, and ctest would wait for those to close.
wineserver -p30 </dev/null >/dev/null 2>&1 || true
wine cmd /c exit </dev/null >/dev/null 2>&1 || true

[ "$#" -eq 0 ] && exit 0
exec wine "$@"
