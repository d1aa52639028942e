#!/usr/bin/env bash
# Checks that a DLL needs nothing at load time but DLLs that are part of
# every Windows installation (the C runtime and the kernel).  A Tcl DLL
# (tcl86.dll, tcl86t.dll, tcl90.dll, tcl9tcl90.dll, ...) is refused by
# name: the library reaches Tcl through the stubs table only, so that it
# loads into a Tcl whatever that Tcl calls its DLL.  libgcc, libstdc++ and
# winpthread must be linked in statically.
#
#   check-dll-imports.sh OBJDUMP DLL
set -euo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 OBJDUMP DLL" >&2
    exit 2
fi
objdump=$1 dll=$2

imports=$("$objdump" -p "$dll" | sed -n -E 's/^[[:space:]]*DLL Name:[[:space:]]*(.*[^[:space:]])[[:space:]]*$/\1/p')
if [ -z "$imports" ]; then
    echo "error: $objdump -p $dll lists no imported DLL" >&2
    exit 1
fi

tcl=()
other=()
for name in $imports; do
    lower=$(printf '%s' "$name" | tr 'A-Z' 'a-z')
    case $lower in
    kernel32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-crt-*.dll) ;;
    tcl*.dll | libtcl*.dll) tcl+=("$name") ;;
    *) other+=("$name") ;;
    esac
done

echo "-- $(basename "$dll") imports from: $(echo $imports)"
status=0
if [ ${#tcl[@]} -gt 0 ]; then
    echo "error: $dll imports a Tcl DLL; it must reach Tcl through the stubs" \
         "table only (USE_TCL_STUBS and the stub library):" >&2
    printf '    %s\n' "${tcl[@]}" >&2
    status=1
fi
if [ ${#other[@]} -gt 0 ]; then
    echo "error: $dll needs DLLs that Windows does not provide:" >&2
    printf '    %s\n' "${other[@]}" >&2
    status=1
fi
exit $status
