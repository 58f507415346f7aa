#!/bin/sh
# Measures the installed system under Wine and prints medians of several
# runs: install to first HTTP 200, wall time of "Dromlet stop", launcher kill
# to the next HTTP 200, the watchdog's memory and CPU over a stretch of
# running (beside an idle Wine process), and one monitor cycle's cost with
# many other processes running. The kills are made twice with the same
# timing: without RelaunchOnExit and with it set to 1.
# Usage: bench/run-bench.sh [RUNS] [IDLE_SECONDS] [PROCESS_COUNTS]
#        (defaults 5, 300 and "10 200")
set -eu
cd "$(dirname "$0")/.."
runs=${1:-5}
idle_seconds=${2:-300}
process_counts=${3:-10 200}
. ./scripts/prerequisites.sh
ensure_prerequisites
cmake --preset cross >/dev/null
cmake --build --preset cross >/dev/null

name=bench
build=$(pwd)/build
export ZV_PREFIX=$name WINEPREFIX=$build/wine/$name
wine_run=$build/wine-run.sh
dromlet='C:\Program Files\ZorvaneService\Dromlet.exe'
# A port of its own: tests of other checkouts on the machine use the default 1465.
port=${ZV_BENCH_PORT:-18465}

tests/system/prepare-prefix.sh "$build" "$name" >/dev/null
printf 'PORT=%s\r\n' "$port" >"$WINEPREFIX/drive_c/Program Files/ZorvaneIs/zorvaneis.cfg"
"$wine_run" "$build/bin/zv_keepalive.exe" &
keepalive=$!
times=$(mktemp -d)
trap '"$wine_run" "$dromlet" uninstall >/dev/null 2>&1 || true; kill $keepalive 2>/dev/null; wineserver -k 2>/dev/null || true; rm -rf "$times"' EXIT

now_ms() { date +%s%3N; }
median() { sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
range() { sort -n | awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%.1f s to %.1f s", lo / 1000, hi / 1000 }'; }
relaunch_on_exit() {
    verb=$1
    shift
    "$wine_run" reg "$verb" 'HKLM\SOFTWARE\ZorvaneIS' /v RelaunchOnExit "$@" /f /reg:64 >/dev/null
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

: >"$times"/install.txt; : >"$times"/stop.txt
for i in $(seq "$runs"); do
    t0=$(now_ms)
    "$wine_run" "$dromlet" install
    wait_for_200
    echo $(( $(now_ms) - t0 )) >>"$times"/install.txt

    t0=$(now_ms)
    "$wine_run" "$dromlet" stop
    echo $(( $(now_ms) - t0 )) >>"$times"/stop.txt
    "$wine_run" "$dromlet" uninstall
done

# Kills at points spread over the 60 s cycle, as crashes would come.
measure_recovery() {
    : >"$1"
    for i in $(seq "$runs"); do
        sleep $(( (i * 17) % 60 ))
        kill -9 "$(linux_pid_of 'ZorvaneIs.zorvaneis.exe')"
        t0=$(now_ms)
        while answers; do sleep 0.05; done
        wait_for_200
        echo $(( $(now_ms) - t0 )) >>"$1"
    done
}

"$wine_run" "$dromlet" install
wait_for_200
measure_recovery "$times"/recover.txt
# The value is read once a cycle: a restart makes the first cycle read it.
relaunch_on_exit add /t REG_DWORD /d 1
"$wine_run" "$dromlet" stop
"$wine_run" "$dromlet" start
wait_for_200
measure_recovery "$times"/recover-relaunch.txt
relaunch_on_exit delete

svc=$(linux_pid_of 'zorvaneissvc.exe')
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
rss_kib() { awk '/VmRSS/ { print $2 }' "/proc/$1/status"; }
svc_ticks0=$(ticks "$svc")
keepalive_linux=$(linux_pid_of 'zv_keepalive.exe')
idle_ticks0=$(ticks "$keepalive_linux")
sleep "$idle_seconds"
hz=$(getconf CLK_TCK)
svc_cpu_ms=$(( ( $(ticks "$svc") - svc_ticks0 ) * 1000 / hz ))
idle_cpu_ms=$(( ( $(ticks "$keepalive_linux") - idle_ticks0 ) * 1000 / hz ))

echo
echo "| measurement | median of $runs runs |"
echo "|---|---|"
echo "| Dromlet install to first HTTP 200 | $(median <"$times"/install.txt) ms |"
echo "| wall time of Dromlet stop | $(median <"$times"/stop.txt) ms |"
echo "| launcher kill to next HTTP 200, RelaunchOnExit absent | $(median <"$times"/recover.txt) ms ($(range <"$times"/recover.txt)) |"
echo "| launcher kill to next HTTP 200, RelaunchOnExit = 1 | $(median <"$times"/recover-relaunch.txt) ms ($(range <"$times"/recover-relaunch.txt)) |"
echo "| watchdog resident memory / CPU over ${idle_seconds} s | $(rss_kib "$svc") KiB / $svc_cpu_ms ms |"
echo "| idle Wine process (keep-alive), same prefix | $(rss_kib "$keepalive_linux") KiB / $idle_cpu_ms ms |"
# shellcheck disable=SC2086 # one argument per count
"$wine_run" "$build/bin/monitor_cycle_bench.exe" $process_counts
