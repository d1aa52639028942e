#!/usr/bin/env bash
# Checks that a DLL needs nothing at load time but the Tcl DLL and DLLs
# that are part of every Windows installation (the C runtime and the
# kernel): libgcc, libstdc++ and winpthread must be linked in statically.
#
#   check-dll-imports.sh OBJDUMP DLL TCL_DLL
set -euo pipefail

if [ $# -ne 3 ]; then
    echo "usage: $0 OBJDUMP DLL TCL_DLL" >&2
    exit 2
fi
objdump=$1 dll=$2 tcl_dll=$3

imports=$("$objdump" -p "$dll" | sed -n -E 's/^[[:space:]]*DLL Name:[[:space:]]*(.*[^[:space:]])[[:space:]]*$/\1/p')
if [ -z "$imports" ]; then
    echo "error: $objdump -p $dll lists no imported DLL" >&2
    exit 1
fi

tcl_lower=$(printf '%s' "$tcl_dll" | tr 'A-Z' 'a-z')
bad=()
has_tcl=no
for name in $imports; do
    lower=$(printf '%s' "$name" | tr 'A-Z' 'a-z')
    case $lower in
    "$tcl_lower") has_tcl=yes ;;
    kernel32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-crt-*.dll) ;;
    *) bad+=("$name") ;;
    esac
done

echo "-- $(basename "$dll") imports from: $(echo $imports)"
status=0
if [ ${#bad[@]} -gt 0 ]; then
    echo "error: $dll needs DLLs that Windows does not provide:" >&2
    printf '    %s\n' "${bad[@]}" >&2
    status=1
fi
if [ $has_tcl = no ]; then
    echo "error: $dll does not import $tcl_dll" >&2
    status=1
fi
exit $status
