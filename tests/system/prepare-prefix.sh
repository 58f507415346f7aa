#!/bin/sh
# Makes a fresh Wine prefix and installs the programs into its
# "C:\Program Files" as `cmake --install` lays them out (not with --empty).
# Usage: prepare-prefix.sh BUILD_FOLDER PREFIX_NAME [--empty]
set -e
build=$1
name=$2
WINEPREFIX="$build/wine/$name" wineserver -k 2>/dev/null || true
rm -rf "$build/wine/$name"
ZV_PREFIX=$name "$build/wine-run.sh"
[ "${3:-}" = --empty ] && exit 0
cmake --install "$build" --prefix "$build/wine/$name/drive_c/Program Files" >/dev/null
echo "installed into $build/wine/$name/drive_c/Program Files"
