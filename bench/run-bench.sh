#!/bin/sh
# Measures the installed system under Wine and prints medians of several
# runs: install to first HTTP 200, wall time of "Dromlet stop", launcher kill
# to the next HTTP 200, the watchdog's memory and CPU over a stretch of
# running (beside an idle Wine process), and one monitor cycle's cost with
# many other processes running.
# Usage: bench/run-bench.sh [RUNS] [IDLE_SECONDS]   (defaults 5 and 300)
set -eu
cd "$(dirname "$0")/.."
runs=${1:-5}
idle_seconds=${2:-300}
. ./scripts/prerequisites.sh
ensure_prerequisites
cmake --preset cross >/dev/null
cmake --build --preset cross >/dev/null

name=bench
build=$(pwd)/build
export ZV_PREFIX=$name WINEPREFIX=$build/wine/$name
wine_run=$build/wine-run.sh
dromlet='C:\Program Files\ZorvaneService\Dromlet.exe'
port=1465

tests/system/prepare-prefix.sh "$build" "$name" >/dev/null
"$wine_run" "$build/bin/zv_keepalive.exe" &
keepalive=$!
trap '"$wine_run" "$dromlet" uninstall >/dev/null 2>&1 || true; kill $keepalive 2>/dev/null; wineserver -k 2>/dev/null || true' EXIT

now_ms() { date +%s%3N; }
median() { sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
answers() { curl -s -o /dev/null -w '%{http_code}' --max-time 1 "http://127.0.0.1:$port/" | grep -q 200; }
wait_for_200() { until answers; do sleep 0.05; done; }
linux_pid_of() { pgrep -f "$1" | head -1; }   # the Unix process of a Windows program

: >/tmp/zv-install.txt; : >/tmp/zv-stop.txt; : >/tmp/zv-recover.txt
for i in $(seq "$runs"); do
    t0=$(now_ms)
    "$wine_run" "$dromlet" install
    wait_for_200
    echo $(( $(now_ms) - t0 )) >>/tmp/zv-install.txt

    t0=$(now_ms)
    "$wine_run" "$dromlet" stop
    echo $(( $(now_ms) - t0 )) >>/tmp/zv-stop.txt
    "$wine_run" "$dromlet" uninstall
done

"$wine_run" "$dromlet" install
wait_for_200
for i in $(seq "$runs"); do
    # Kill at a random point of the 60 s cycle, as a crash would.
    sleep $(( (i * 17) % 60 ))
    kill -9 "$(linux_pid_of 'ZorvaneIs.zorvaneis.exe')"
    t0=$(now_ms)
    while answers; do sleep 0.05; done
    wait_for_200
    echo $(( $(now_ms) - t0 )) >>/tmp/zv-recover.txt
done

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
echo "| Dromlet install to first HTTP 200 | $(median </tmp/zv-install.txt) ms |"
echo "| wall time of Dromlet stop | $(median </tmp/zv-stop.txt) ms |"
echo "| launcher kill to next HTTP 200 | $(median </tmp/zv-recover.txt) ms |"
echo "| watchdog resident memory / CPU over ${idle_seconds} s | $(rss_kib "$svc") KiB / $svc_cpu_ms ms |"
echo "| idle Wine process (keep-alive), same prefix | $(rss_kib "$keepalive_linux") KiB / $idle_cpu_ms ms |"
"$wine_run" "$build/bin/monitor_cycle_bench.exe" 10 100 200
