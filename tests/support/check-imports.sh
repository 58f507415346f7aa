#!/bin/sh
# Checks that each program imports only DLLs that every Windows machine has
# (and the launcher halvix.dll), and that its PE subsystem is the right one.
# Usage: check-imports.sh OBJDUMP BIN_FOLDER
objdump=$1
bin=$2
allowed='^(kernel32|user32|advapi32|shell32|ole32|oleaut32|shlwapi|ws2_32|msvcrt|ntdll|rpcrt4|api-ms-win-[a-z0-9-]+)\.dll$'
failed=0

check() {  # file subsystem extra-allowed-dll
    file=$bin/$1
    if [ ! -f "$file" ]; then
        echo "missing: $file"; failed=1; return
    fi
    dump=$("$objdump" -p "$file") || { echo "objdump failed: $file"; failed=1; return; }
    subsystem=$(printf '%s\n' "$dump" | awk '$1 == "Subsystem" { print $2 }')
    if [ "$subsystem" != "$2" ]; then
        echo "$1: subsystem $subsystem, expected $2"; failed=1
    fi
    for dll in $(printf '%s\n' "$dump" | awk '/DLL Name:/ { print tolower($3) }'); do
        if ! printf '%s\n' "$dll" | grep -Eq "$allowed" && [ "$dll" != "$3" ]; then
            echo "$1: imports $dll"; failed=1
        fi
    done
    echo "$1: subsystem $subsystem, imports $(printf '%s\n' "$dump" | awk '/DLL Name:/ { printf "%s ", $3 }')"
}

check zorvaneis.exe 00000003 halvix.dll
check halvix.dll 00000003 none
[ -n "$CHECK_WATCHDOG" ] && check zorvaneissvc.exe 00000002 none
[ -n "$CHECK_SETUP" ] && check Dromlet.exe 00000003 none
exit $failed
