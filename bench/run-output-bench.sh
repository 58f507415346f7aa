#!/bin/sh
# Measures how fast the service log grows in a crash loop at the fastest
# pace the watchdog allows: RelaunchOnExit 1 and a launcher that writes 150
# lines and ends at once (the test sleeper named burster.exe). Prints the
# log's new lines by kind.
# Usage: bench/run-output-bench.sh [SECONDS]   (default 300)
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-300}
name=bench-output
port=${ZV_BENCH_PORT:-18466}
. bench/bench-env.sh

mkdir -p "$WINEPREFIX/drive_c/burst"
cp "$build/bin/sleeper.exe" "$WINEPREFIX/drive_c/burst/burster.exe"
log="$WINEPREFIX/drive_c/ProgramData/Tovimar/ZorvaneService/service.log"

"$wine_run" "$dromlet" install
"$wine_run" "$dromlet" stop
record_value add ServerExePath /t REG_SZ /d 'C:\burst\burster.exe'
record_value add RelaunchOnExit /t REG_DWORD /d 1
start=$(( $(stat -c %s "$log") + 1 ))
"$wine_run" "$dromlet" start
sleep "$seconds"
"$wine_run" "$dromlet" stop

tail -c +"$start" "$log" >"$times"/new.log
count() { grep -c "$1" "$times"/new.log || true; }
lines=$(wc -l <"$times"/new.log)
bytes=$(wc -c <"$times"/new.log)
starts=$(count "  Launched '")
output=$(count '  Launcher output (PID=[0-9]*): burst')
counted=$(count ' more lines not logged')
echo
echo "| in $seconds s | |"
echo "|---|---|"
echo "| launcher starts | $starts |"
echo "| its output lines in the log | $output |"
echo "| count lines (more lines not logged) | $counted |"
echo "| other lines | $(( lines - output - counted )) |"
echo "| all lines / bytes | $lines / $bytes |"
