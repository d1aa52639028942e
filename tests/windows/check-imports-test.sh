#!/usr/bin/env bash
# Runs cmake/check-dll-imports.sh on made-up import lists (a stand-in for
# objdump prints them) and checks its verdict: Windows' own DLLs pass, any
# Tcl DLL and any other DLL fail, each named in the message.
#
#   check-imports-test.sh CHECK
set -uo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 CHECK" >&2
    exit 2
fi
check=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The stand-in objdump: `objdump -p LIST` prints one "DLL Name:" line per
# word of the file LIST, as objdump does for a DLL's import table.
cat >"$work/objdump" <<'STUB'
#!/bin/sh
for name in $(cat "$2"); do printf '\tDLL Name: %s\n' "$name"; done
STUB
chmod +x "$work/objdump"

failures=0
cases=0
# expect LABEL STATUS TEXT IMPORTS
expect() {
    local label=$1 want_status=$2 want_text=$3 imports=$4
    printf '%s\n' $imports >"$work/$label"
    local out status
    out=$(bash "$check" "$work/objdump" "$work/$label" 2>&1)
    status=$?
    cases=$((cases + 1))
    local problems=()
    [ "$status" = "$want_status" ] || problems+=("exit status $status, expected $want_status")
    case $out in
    *"$want_text"*) ;;
    *) problems+=("output lacks '$want_text'") ;;
    esac
    if [ ${#problems[@]} -gt 0 ]; then
        failures=$((failures + 1))
        echo "FAILED $label:"
        printf '    %s\n' "${problems[@]}"
        printf '%s\n' "$out" | sed 's/^/    | /'
    fi
}

expect system 0 "imports from: KERNEL32.dll msvcrt.dll" "KERNEL32.dll msvcrt.dll"
expect ucrt 0 "imports from: KERNEL32.dll ucrtbase.dll api-ms-win-crt-math-l1-1-0.dll" \
    "KERNEL32.dll ucrtbase.dll api-ms-win-crt-math-l1-1-0.dll"
expect tcl86 1 "imports a Tcl DLL" "KERNEL32.dll tcl86.dll msvcrt.dll"
expect tcl86t 1 "    TCL86T.DLL" "KERNEL32.dll TCL86T.DLL msvcrt.dll"
expect tcl9 1 "    tcl9tcl90.dll" "KERNEL32.dll msvcrt.dll tcl9tcl90.dll"
expect tcl90 1 "    tcl90.dll" "tcl90.dll"
expect runtime 1 "    libstdc++-6.dll" "KERNEL32.dll libstdc++-6.dll msvcrt.dll"
expect none 1 "lists no imported DLL" ""

if [ $failures -gt 0 ]; then
    echo "import check self-test: $failures of $cases cases FAILED"
    exit 1
fi
echo "import check self-test: all $cases cases pass"
