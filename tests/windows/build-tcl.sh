#!/usr/bin/env bash
# Cross-builds a Windows Tcl from Tcl's own source with mingw-w64 and
# installs it into a private prefix:
#
#   build-tcl.sh ARCH SRCDIR WORKDIR        ARCH: i686 or x86_64
#
# WORKDIR/build holds the build, WORKDIR/install the result: bin/tclsh*.exe
# and bin/tcl*.dll (what the tests run in, under Wine), lib/ with the stub
# library libtclstub*.a (what kardum.dll links) and include/ with the
# headers.  A finished install is kept: the script then only prints where it
# is.  Prints the install prefix on its last line.
set -euo pipefail

if [ $# -ne 3 ]; then
    echo "usage: $0 ARCH SRCDIR WORKDIR" >&2
    exit 2
fi
arch=$1 src=$2 work=$3
case $arch in
i686) host=i686-w64-mingw32 bits=() ;;
x86_64) host=x86_64-w64-mingw32 bits=(--enable-64bit) ;;
*) echo "error: ARCH must be i686 or x86_64, got '$arch'" >&2; exit 2 ;;
esac
src=$(cd "$src" && pwd)
mkdir -p "$work"
work=$(cd "$work" && pwd)
prefix=$work/install
stamp=$prefix/.complete

if [ -f "$stamp" ]; then
    echo "$prefix"
    exit 0
fi

# The win32 thread flavour of the compilers, as for kardum.dll.
cc=$(command -v "$host-gcc-win32" || command -v "$host-gcc-posix" || command -v "$host-gcc" || true)
if [ -z "$cc" ]; then
    echo "error: no $host-gcc (apt-get install gcc-mingw-w64-${arch/_/-}-win32)" >&2
    exit 1
fi

rm -rf "$work/build" "$prefix"
mkdir -p "$work/build"
cd "$work/build"
log=$work/build.log
echo "-- building Tcl for $arch in $work (log: $log)" >&2
if ! {
    CC=$cc "$src/win/configure" --host="$host" --prefix="$prefix" \
        --enable-threads --enable-shared "${bits[@]}" &&
    make -j "${JOBS:-2}" binaries &&
    make install-binaries install-libraries &&
    # Tcl 9 installs its headers with a target of their own.
    if grep -q '^install-headers:' Makefile; then make install-headers; fi
} >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "error: the $arch Tcl build failed (full log: $log)" >&2
    exit 1
fi

# What the tests and kardum.dll need of it.
for pattern in 'bin/tclsh*.exe' 'bin/tcl*.dll' 'lib/libtclstub*.a' 'include/tcl.h'; do
    if ! compgen -G "$prefix/$pattern" >/dev/null; then
        echo "error: the $arch Tcl build installed no $pattern" >&2
        exit 1
    fi
done
touch "$stamp"
echo "$prefix"
