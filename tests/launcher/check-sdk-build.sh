#!/bin/sh
# Builds the launcher against a library folder as the vendor ships one (its
# header and import library; here the stand-in's own) and checks that the
# launcher links and imports halvix.dll, and that no stand-in is configured,
# built or installed.
# Usage: check-sdk-build.sh SOURCE WORK_FOLDER TOOLCHAIN_FILE HEADER IMPORT_LIBRARY OBJDUMP
set -e
source=$1 work=$2 toolchain=$3 header=$4 implib=$5 objdump=$6
rm -rf "$work"
mkdir -p "$work/sdk/lib"
cp "$header" "$work/sdk/"
cp "$implib" "$work/sdk/lib/"
cmake -S "$source" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_TESTING=OFF -DHALVIX_SDK_DIR="$work/sdk" >/dev/null
cmake --build "$work/build" --target zorvaneis -j2 >/dev/null

failed=0
launcher=$work/build/bin/zorvaneis.exe
"$objdump" -p "$launcher" | grep -qi 'DLL Name: halvix\.dll' || { echo "zorvaneis.exe does not import halvix.dll"; failed=1; }
[ ! -e "$work/build/halvix" ] || { echo "the stand-in was configured"; failed=1; }
built=$(find "$work/build" -iname 'halvix*' -o -iname 'libhalvix*')
[ -z "$built" ] || { echo "stand-in files were built:"; echo "$built"; failed=1; }
if grep -rqi 'halvix' --include=cmake_install.cmake "$work/build"; then
    echo "the install rules hold a halvix file"; failed=1
fi
[ "$failed" = 0 ] && echo "launcher built against $work/sdk without the stand-in"
exit $failed
