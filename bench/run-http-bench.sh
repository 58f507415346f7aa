#!/bin/sh
# Measures the stand-in web server over 127.0.0.1 under Wine: small-file
# GETs per second with 1, 8 and 64 concurrent clients, its resident memory
# after 100 and after 10 000 requests, and normal requests among a crowd of
# 200 clients that send a byte every 5 s and reconnect when closed.
# Usage: bench/run-http-bench.sh [LOAD_SECONDS]   (default 10)
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-10}
. ./scripts/prerequisites.sh
ensure_prerequisites
cmake --preset cross >/dev/null
cmake --build --preset cross --target http_bench >/dev/null

build=$(pwd)/build
export ZV_PREFIX=bench-http WINEPREFIX=$build/wine/bench-http
wine_run=$build/wine-run.sh
bench=$build/bin/http_bench.exe
port=18190
site=$build/bench-http-site
mkdir -p "$site"
head -c 512 /dev/zero | tr '\0' 'a' >"$site/small.txt"

serve() {  # serve PORT SECONDS: starts a server of its own in the background
    "$wine_run" "$bench" serve "Z:$(echo "$site" | tr / '\\')" "$1" "$2" >/dev/null 2>&1 &
    sleep 3
}
rss_kib() { awk '/VmRSS/ { print $2 }' "/proc/$(pgrep -f "http_bench.exe serve .* $1 " | head -1)/status"; }
load() { "$wine_run" "$bench" load "$@" | tr -d '\r'; }
trap 'wineserver -k 2>/dev/null || true' EXIT

echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) before the run"
serve $port $(( seconds * 3 + 120 ))
for clients in 1 8 64; do
    load $port /small.txt "$clients" "$seconds"
done
load $port /small.txt 1 60 100 >/dev/null
after100=$(rss_kib $port)
load $port /small.txt 8 600 9900 >/dev/null
after10000=$(rss_kib $port)
echo "resident memory of the server: $after100 KiB after 100 requests, $after10000 KiB after 10 000"

serve $(( port + 1 )) 100
"$wine_run" "$bench" crowd $(( port + 1 )) /small.txt 200 10 60 | tr -d '\r'
echo "machine load average after the run: $(cut -d' ' -f1-3 /proc/loadavg)"
