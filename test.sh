#!/bin/sh
# Builds everything with the MinGW-w64 cross compiler and runs every test
# under Wine. Extra arguments go to ctest (e.g. ./test.sh -L unit).
set -e
cd "$(dirname "$0")"
. ./scripts/prerequisites.sh
ensure_prerequisites

cmake --preset cross >/dev/null
cmake --build --preset cross
ctest --preset cross --output-on-failure -j2 "$@"
