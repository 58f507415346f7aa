#!/bin/sh
# Builds the ZIP package and checks that it holds exactly the installed layout.
set -e
build=$1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
(cd "$build" && cpack -B "$out" >/dev/null)
zip=$(ls "$out"/*.zip)
listing=$(cd "$out" && cmake -E tar tf "$zip" | grep -v '/$' | sort)
expected=$(printf '%s\n' INSTALL.md ZorvaneIs/halvix.dll ZorvaneIs/site/index.html ZorvaneIs/zorvaneis.cfg \
    ZorvaneIs/zorvaneis.exe ZorvaneService/Dromlet.exe ZorvaneService/zorvaneissvc.exe | sort)
if [ "$listing" != "$expected" ]; then
    echo "package $zip holds:"; echo "$listing"; echo "expected:"; echo "$expected"
    exit 1
fi
echo "package $zip: layout as expected"
