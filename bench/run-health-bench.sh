#!/bin/sh
# Measures the opt-in health check under Wine, side by side in one run: a
# frozen launcher (kill -STOP of its Unix process: the port still accepts,
# nothing answers) to the next HTTP 200 with the default settings and with
# an interval of 2 s and 2 failures; the wall time of "Dromlet stop" while
# the launcher is frozen, with the check and without; the watchdog's CPU
# time over a stretch of running with the check and without.
# Usage: bench/run-health-bench.sh [RUNS] [IDLE_SECONDS] [stop]
#        (defaults 5 and 300; "stop": the stop measurements only)
set -eu
cd "$(dirname "$0")/.."
runs=${1:-5}
idle_seconds=${2:-300}
only=${3:-all}
name=bench-health
port=${ZV_BENCH_PORT:-18249}
. bench/bench-env.sh

# The values are read once a cycle: a restart makes the first cycle read them.
check_with() {
    record_value delete HealthCheckUrl 2>/dev/null || true
    record_value delete HealthCheckIntervalSeconds 2>/dev/null || true
    record_value delete HealthCheckFailures 2>/dev/null || true
    [ "$1" = off ] || record_value add HealthCheckUrl /t REG_SZ /d "http://127.0.0.1:$port/"
    [ "$1" = off ] || [ "$1" = defaults ] || {
        record_value add HealthCheckIntervalSeconds /t REG_DWORD /d "$2"
        record_value add HealthCheckFailures /t REG_DWORD /d "$3"
    }
    "$wine_run" "$dromlet" stop >/dev/null
    "$wine_run" "$dromlet" start >/dev/null
    wait_for_200
}

# measure_frozen FILE INTERVAL: freezes at points spread over the probe
# interval, each after the new launcher has had time to pass once.
measure_frozen() {
    : >"$1"
    for i in $(seq "$runs"); do
        sleep $(( $2 + 2 + (i * 7) % $2 ))
        kill -STOP "$(launcher_pid)"
        t0=$(now_ms)
        wait_for_200
        echo $(( $(now_ms) - t0 )) >>"$1"
    done
}

# measure_frozen_stop FILE on|off: Dromlet stop during a freeze. With the
# check on, 6 to 8 s after its first failure is logged, while the next probe
# waits for the frozen server; without it, as long into the freeze.
log="$WINEPREFIX/drive_c/ProgramData/Tovimar/ZorvaneService/service.log"
failures_logged() { grep -c 'Health check failed (1 of' "$log" || true; }
measure_frozen_stop() {
    : >"$1"
    for i in $(seq "$runs"); do
        sleep 12
        before=$(failures_logged)
        kill -STOP "$(launcher_pid)"
        if [ "$2" = on ]; then
            until [ "$(failures_logged)" -gt "$before" ]; do sleep 0.1; done
        else
            sleep 10
        fi
        sleep $(( 6 + i % 3 ))
        t0=$(now_ms)
        "$wine_run" "$dromlet" stop >/dev/null
        echo $(( $(now_ms) - t0 )) >>"$1"
        "$wine_run" "$dromlet" start >/dev/null
        wait_for_200
    done
}

"$wine_run" "$dromlet" install >/dev/null
wait_for_200
if [ "$only" != stop ]; then
    check_with defaults
    measure_frozen "$times"/frozen-defaults.txt 10
    check_with 2s 2 2
    measure_frozen "$times"/frozen-2s.txt 2
fi
check_with defaults
measure_frozen_stop "$times"/stop-check.txt on
check_with off
measure_frozen_stop "$times"/stop-plain.txt off
if [ "$only" = stop ]; then
    echo "Dromlet stop, ms, a probe waiting: $(tr '\n' ' ' <"$times"/stop-check.txt); no check: $(tr '\n' ' ' <"$times"/stop-plain.txt)"
    exit 0
fi

cpu_off=$(cpu_ms_over "$(linux_pid_of 'zorvaneissvc.exe')" "$idle_seconds")
check_with defaults
sleep 12
cpu_on=$(cpu_ms_over "$(linux_pid_of 'zorvaneissvc.exe')" "$idle_seconds")

echo
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) at the end"
echo "| measurement | median of $runs runs (range) |"
echo "|---|---|"
echo "| frozen launcher to the next HTTP 200, check with defaults (10 s, 3 failures) | $(median <"$times"/frozen-defaults.txt) ms ($(range <"$times"/frozen-defaults.txt)) |"
echo "| the same, interval 2 s and 2 failures | $(median <"$times"/frozen-2s.txt) ms ($(range <"$times"/frozen-2s.txt)) |"
echo "| wall time of Dromlet stop, launcher frozen, a probe waiting on it | $(median <"$times"/stop-check.txt) ms ($(range <"$times"/stop-check.txt)) |"
echo "| wall time of Dromlet stop, launcher frozen, no check | $(median <"$times"/stop-plain.txt) ms ($(range <"$times"/stop-plain.txt)) |"
echo "| watchdog CPU time over ${idle_seconds} s, no check / check with defaults | $cpu_off ms / $cpu_on ms |"
