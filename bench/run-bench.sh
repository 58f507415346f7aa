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
name=bench
# A port of its own: tests of other checkouts on the machine use the default 1465.
port=${ZV_BENCH_PORT:-18465}
. bench/bench-env.sh

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
        kill -9 "$(launcher_pid)"
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
record_value add RelaunchOnExit /t REG_DWORD /d 1
"$wine_run" "$dromlet" stop
"$wine_run" "$dromlet" start
wait_for_200
measure_recovery "$times"/recover-relaunch.txt
record_value delete RelaunchOnExit

svc=$(linux_pid_of 'zorvaneissvc.exe')
keepalive_linux=$(linux_pid_of 'zv_keepalive.exe')
idle_ticks0=$(ticks "$keepalive_linux")
svc_cpu_ms=$(cpu_ms_over "$svc" "$idle_seconds")
idle_cpu_ms=$(( ( $(ticks "$keepalive_linux") - idle_ticks0 ) * 1000 / $(getconf CLK_TCK) ))
rss_kib() { awk '/VmRSS/ { print $2 }' "/proc/$1/status"; }
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
