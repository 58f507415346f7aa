#!/bin/sh
# Checks that each program imports only DLLs that every Windows machine has
# (and the launcher halvix.dll), and that its PE subsystem is the right one.
# Usage: check-imports.sh OBJDUMP BIN_FOLDER FILE:console|gui[:EXTRA_DLL] ...
objdump=$1
bin=$2
shift 2
system='^(kernel32|user32|advapi32|shell32|ole32|oleaut32|shlwapi|ws2_32|winhttp|msvcrt|ntdll|rpcrt4|api-ms-win-[a-z0-9-]+)\.dll$'
failed=0

for entry in "$@"; do
    file=$(echo "$entry" | cut -d: -f1)
    kind=$(echo "$entry" | cut -d: -f2)
    extra=$(echo "$entry" | cut -d: -f3 | tr 'A-Z' 'a-z')
    case $kind in
        console) expected=00000003 ;;
        gui) expected=00000002 ;;
        *) echo "bad argument: $entry"; exit 2 ;;
    esac
    path=$bin/$file
    dump=$("$objdump" -p "$path") || { echo "$file: cannot be read"; failed=1; continue; }
    subsystem=$(printf '%s\n' "$dump" | awk '$1 == "Subsystem" { print $2 }')
    [ "$subsystem" = "$expected" ] || { echo "$file: subsystem $subsystem, expected $expected ($kind)"; failed=1; }
    dlls=$(printf '%s\n' "$dump" | awk '/DLL Name:/ { print tolower($3) }')
    for dll in $dlls; do
        if ! printf '%s\n' "$dll" | grep -Eq "$system" && [ "$dll" != "$extra" ]; then
            echo "$file: imports $dll, which Windows does not ship"; failed=1
        fi
    done
    if [ -n "$extra" ] && ! printf '%s\n' "$dlls" | grep -qx "$extra"; then
        echo "$file: does not import $extra"; failed=1
    fi
    echo "$file: subsystem $kind, imports" $dlls
done
exit $failed
