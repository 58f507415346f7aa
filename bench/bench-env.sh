# Sourced by the bench scripts, with `name` (the prefix) and `port` set:
# builds, installs the system into a Wine prefix of its own with the
# launcher on that port, keeps a Wine process alive beside it, and defines
# the timing helpers. Everything is removed again when the script ends.
. ./scripts/prerequisites.sh
ensure_prerequisites
cmake --preset cross >/dev/null
cmake --build --preset cross >/dev/null

build=$(pwd)/build
export ZV_PREFIX=$name WINEPREFIX=$build/wine/$name
wine_run=$build/wine-run.sh
dromlet='C:\Program Files\ZorvaneService\Dromlet.exe'

tests/system/prepare-prefix.sh "$build" "$name" >/dev/null
printf 'DOC_ROOT=site\r\nPORT=%s\r\n' "$port" >"$WINEPREFIX/drive_c/Program Files/ZorvaneIs/zorvaneis.cfg"
"$wine_run" "$build/bin/zv_keepalive.exe" &
keepalive=$!
times=$(mktemp -d)
trap '"$wine_run" "$dromlet" uninstall >/dev/null 2>&1 || true; kill $keepalive 2>/dev/null; wineserver -k 2>/dev/null || true; rm -rf "$times"' EXIT

now_ms() { date +%s%3N; }
median() { sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
range() { sort -n | awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%.1f s to %.1f s", lo / 1000, hi / 1000 }'; }
# record_value add|delete VALUE [/t TYPE /d DATA]: a value of the registry record.
record_value() {
    verb=$1
    value=$2
    shift 2
    "$wine_run" reg "$verb" 'HKLM\SOFTWARE\ZorvaneIS' /v "$value" "$@" /f /reg:64 >/dev/null
}
answers() { curl -s -o /dev/null -w '%{http_code}' --max-time 1 "http://127.0.0.1:$port/" | grep -q 200; }
wait_for_200() { until answers; do sleep 0.05; done; }
# The Unix process of a Windows program of this prefix: other prefixes on the
# machine run programs of the same names.
linux_pid_of() {
    for pid in $(pgrep -f "$1"); do
        if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
            echo "$pid"
            return
        fi
    done
}
launcher_pid() { linux_pid_of 'ZorvaneIs.zorvaneis.exe'; }
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
# CPU time in ms of the Unix process $1 over $2 seconds.
cpu_ms_over() {
    ticks0=$(ticks "$1")
    sleep "$2"
    echo $(( ( $(ticks "$1") - ticks0 ) * 1000 / $(getconf CLK_TCK) ))
}
