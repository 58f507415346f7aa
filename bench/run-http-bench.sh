#!/bin/sh
# Measures the stand-in web server under Wine as a browser would meet it:
# small-file GETs per second from a native client (ApacheBench) at 1, 8 and
# 64 concurrent clients, beside a minimal blocking Winsock server of the
# bench's own under the same Wine, the floor of what Wine allows: medians of
# RUNS runs and the ratio to that floor. Then the server's resident memory
# after 100 and after 10 000 requests, and normal requests among a crowd of
# 200 clients that send a byte every 5 s and reconnect when closed.
# It runs in a network namespace of its own: loopback only, no port shared
# with anything else on the machine. Every step is bounded in requests and
# seconds.
# Usage: bench/run-http-bench.sh [RUNS] [LOAD_SECONDS]   (default 5 and 5)
set -eu
script=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
cd "$(dirname "$0")/.."
runs=${1:-5}
seconds=${2:-5}
if [ -z "${ZV_HTTP_BENCH_NETNS:-}" ]; then
    . ./scripts/prerequisites.sh
    ZV_PACKAGES="$ZV_PACKAGES apache2-utils"
    ensure_prerequisites
    cmake --preset cross >/dev/null
    cmake --build --preset cross --target http_bench >/dev/null
    exec unshare -n env ZV_HTTP_BENCH_NETNS=1 sh -c 'ip link set lo up && exec "$0" "$@"' "$script" "$runs" "$seconds"
fi

build=$(pwd)/build
export ZV_PREFIX=bench-http WINEPREFIX=$build/wine/bench-http
wine_run=$build/wine-run.sh
bench=$build/bin/http_bench.exe
port=18190
floor_port=18192
site=$build/bench-http-site
results=$(mktemp -d)
mkdir -p "$site"
head -c 512 /dev/zero | tr '\0' 'a' >"$site/small.txt"
trap 'wineserver -k 2>/dev/null || true; rm -rf "$results"' EXIT

windows_path() { echo "Z:$1" | tr / '\\'; }
started() {  # started PORT: waits up to 30 s for something to accept there
    i=0
    until ab -q -n 1 "http://127.0.0.1:$1/small.txt" >/dev/null 2>&1; do
        i=$((i + 1))
        [ $i -lt 300 ] || { echo "nothing answers at $1" >&2; exit 1; }
        sleep 0.1
    done
}
rss_kib() { awk '/VmRSS/ { print $2 }' "/proc/$(pgrep -f "http_bench.exe serve .* $1 " | head -1)/status"; }
# ab PORT CLIENTS [REQUESTS]: requests per second, for LOAD_SECONDS at most;
# a failed or non-200 reply fails the bench.
measure() {
    out=$(ab -q -r -t "$seconds" -n "${3:-1000000}" -c "$2" "http://127.0.0.1:$1/small.txt" 2>&1) || {
        echo "$out" >&2
        exit 1
    }
    if ! echo "$out" | grep -q '^Failed requests: *0$' || echo "$out" | grep -q '^Non-2xx'; then
        echo "$out" >&2
        exit 1
    fi
    echo "$out" | awk '/^Requests per second/ { printf "%.0f\n", $4 }'
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }

echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) before the run"
lifetime=$(( runs * 6 * (seconds + 2) + 120 ))
"$wine_run" "$bench" serve "$(windows_path "$site")" $port $lifetime >/dev/null 2>&1 &
"$wine_run" "$bench" floor "$(windows_path "$site/small.txt")" $floor_port $lifetime >/dev/null 2>&1 &
started $port
started $floor_port
run=1
while [ $run -le "$runs" ]; do
    for clients in 1 8 64; do
        server=$(measure $port $clients)
        floor=$(measure $floor_port $clients)
        echo "run $run, $clients clients: server $server/s, floor $floor/s"
        echo "$server" >>"$results/server-$clients"
        echo "$floor" >>"$results/floor-$clients"
    done
    run=$((run + 1))
done
for clients in 1 8 64; do
    server=$(median <"$results/server-$clients")
    floor=$(median <"$results/floor-$clients")
    echo "$clients clients: server $server GETs/s ($(sort -n "$results/server-$clients" | tr '\n' ' ')), floor $floor GETs/s ($(sort -n "$results/floor-$clients" | tr '\n' ' ')), ratio $(awk "BEGIN { printf \"%.2f\", $server / $floor }")"
done

measure $port 1 100 >/dev/null
after100=$(rss_kib $port)
measure $port 8 9900 >/dev/null
after10000=$(rss_kib $port)
echo "resident memory of the server after the runs: $after100 KiB after 100 more requests, $after10000 KiB after 9 900 more"

"$wine_run" "$bench" serve "$(windows_path "$site")" $(( port + 1 )) 100 >/dev/null 2>&1 &
started $(( port + 1 ))
"$wine_run" "$bench" crowd $(( port + 1 )) /small.txt 200 10 60 | tr -d '\r'
echo "machine load average after the run: $(cut -d' ' -f1-3 /proc/loadavg)"
