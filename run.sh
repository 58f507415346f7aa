#!/bin/sh
# Runs the whole system under Wine: builds it, installs the programs at their
# Windows paths in a Wine prefix of its own, installs and starts the service
# with Dromlet and the settings the setup program gives a new installation,
# and keeps the web server running on http://127.0.0.1:1465/ until Ctrl-C;
# then uninstalls the service and ends the Wine session.
set -eu
cd "$(dirname "$0")"
. ./scripts/prerequisites.sh
ensure_prerequisites

step() { printf '==> %s\n' "$*"; }
fail() { printf 'run.sh: %s\n' "$*" >&2; exit 1; }

step "Building"
cmake --preset cross >/dev/null
cmake --build --preset cross >/dev/null || { cmake --build --preset cross; fail "the build failed"; }

export ZV_PREFIX=run
wine_run=build/wine-run.sh
prefix=$(pwd)/build/wine/run
export WINEPREFIX=$prefix
program_files="$prefix/drive_c/Program Files"
log="$prefix/drive_c/ProgramData/Tovimar/ZorvaneService/service.log"
port=1465
dromlet='C:\Program Files\ZorvaneService\Dromlet.exe'
# What the setup program asks for on a new installation: the launcher
# started again as soon as it ends, a server that stops answering replaced,
# and the log kept to 10 MB and 5 older files.
settings="--relaunch-on-exit on --health-check http://127.0.0.1:$port/ --health-max-status 599 --log-max-mb 10 --log-keep 5"

if curl -s -o /dev/null --max-time 2 "http://127.0.0.1:$port/"; then
    fail "port $port is taken by another program; end it first"
fi

step "Making the Wine prefix $prefix"
"$wine_run"

step "Installing the programs under C:\\Program Files"
cmake --install build --prefix "$program_files" >/dev/null

keepalive_pid=""
installed=0
cleanup() {
    status=$?
    trap - INT TERM EXIT
    # Every step runs, whatever the one before it did: the Ctrl-C may have
    # ended the keep-alive already.
    set +e
    if [ "$installed" = 1 ]; then
        step "Uninstalling the service"
        "$wine_run" "$dromlet" uninstall ||
            echo "run.sh: Dromlet uninstall failed (status $?)" >&2
    fi
    [ -n "$keepalive_pid" ] && kill "$keepalive_pid" 2>/dev/null
    wineserver -k 2>/dev/null
    step "Wine session ended"
    exit "$status"
}
trap cleanup EXIT
# Ctrl-C is the way to end a run: after the clean-up it is a success.
trap 'exit 0' INT
trap 'exit 130' TERM

# Services live only while an ordinary program of the prefix runs.
"$wine_run" build/bin/zv_keepalive.exe &
keepalive_pid=$!

step "Dromlet install $settings"
installed=1
# shellcheck disable=SC2086 # one word each
"$wine_run" "$dromlet" install $settings ||
    fail "Dromlet install failed (status $?); see the messages above and $log"

step "Waiting for http://127.0.0.1:$port/"
waited=0
until curl -s -o /dev/null --max-time 2 "http://127.0.0.1:$port/"; do
    waited=$((waited + 1))
    [ "$waited" -ge 90 ] && fail "no answer on port $port after 90 s; see $log"
    sleep 1
done

cat <<INFO

  The Zorvane Information Server is running.
    browse                http://127.0.0.1:$port/
    content root          $program_files/ZorvaneIs/site/
    settings              $program_files/ZorvaneIs/zorvaneis.cfg
    service log           $log

  Try:  curl http://127.0.0.1:$port/        Press Ctrl-C to stop and uninstall.
  End the launcher and the watchdog starts it again within a second or two.

  Dromlet status:
INFO
"$wine_run" "$dromlet" status | sed 's/^/    /' || true
echo
while :; do sleep 1; done
