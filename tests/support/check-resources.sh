#!/bin/sh
# Checks the programs' resources: the launcher carries an icon, the version
# record 1.0.0.1 and an "asInvoker" manifest; the setup tool the manifest;
# the watchdog the message table of its events.
# Usage: check-resources.sh WINDRES BIN_FOLDER
windres=$1
bin=$2
failed=0

expect() {  # file description pattern
    if ! "$windres" -i "$bin/$1" -O rc 2>/dev/null | grep -Eq "$3"; then
        echo "$1: no $2"; failed=1
    else
        echo "$1: $2"
    fi
}

expect zorvaneis.exe "icon" 'RT_GROUP_ICON'
expect zorvaneis.exe "file version 1.0.0.1" 'FILEVERSION 1, 0, 0, 1'
expect zorvaneis.exe "asInvoker manifest" 'requestedExecutionLevel level=""asInvoker""'
expect Dromlet.exe "asInvoker manifest" 'requestedExecutionLevel level=""asInvoker""'
expect zorvaneissvc.exe "message table" 'RT_MESSAGETABLE'
exit $failed
