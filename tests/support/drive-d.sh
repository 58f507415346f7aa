#!/bin/sh
# Gives the Wine prefix PREFIX_NAME of BUILD_FOLDER a drive D:, an empty
# folder beside the prefix, so that Program Files can be moved off C:.
# Usage: drive-d.sh BUILD_FOLDER PREFIX_NAME
set -e
drive="$1/wine/$2-drive-d"
rm -rf "$drive"
mkdir -p "$drive"
ln -sfn "$drive" "$1/wine/$2/dosdevices/d:"
