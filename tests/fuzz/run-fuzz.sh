#!/bin/bash
# Runs a fuzz harness for SECONDS, seeded with the string literals of the
# test tables in the SEED_SOURCE files. What it learns is kept beside it
# (HARNESS.work/corpus) for the next run; a crashing input lands there too.
# Usage: run-fuzz.sh HARNESS SECONDS SEED_SOURCE...   (by hand: any length)
set -e
harness=$1 seconds=$2
shift 2
work=$harness.work
rm -rf "$work/seeds"
mkdir -p "$work/corpus" "$work/seeds"

count=0
for source in "$@"; do
    while IFS= read -r literal; do
        body=${literal:1:${#literal}-2}
        count=$((count + 1))
        printf '%b' "${body//\\\"/\"}" >"$work/seeds/$count"
    done < <(grep -o '"\([^"\\]\|\\.\)*"' "$source")
done
echo "$count seeds from $*"

# The HTTP head may be 8 KiB and a settings line is read in 1023-byte pieces.
exec "$harness" -max_total_time="$seconds" -max_len=10000 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$work/" "$work/corpus" "$work/seeds"
