#!/usr/bin/env bash
# Runs the script tests, the examples and the examples of the documentation
# in a Windows Tcl under Wine, against a kardum DLL:
#
#   wine-test.sh TCLPREFIX DLL [WINEPREFIX]
#
# TCLPREFIX is the install prefix of a Windows Tcl (tests/windows/build-tcl.sh),
# DLL the library to test (with pkgIndex.tcl and the kardum package's files beside it, as the
# cross build leaves them).  WINEPREFIX defaults to a private one beside the
# DLL; the user's ~/.wine is not touched.  A 32-bit Tcl needs 32-bit Wine
# (wine32 from the i386 architecture), a 64-bit one wine64.
#
# Prints a summary line per part and exits non-zero when any part fails.
set -uo pipefail

if [ $# -lt 2 ] || [ $# -gt 3 ]; then
    echo "usage: $0 TCLPREFIX DLL [WINEPREFIX]" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
tcl=$(cd "$1" && pwd)
dll=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
export WINEPREFIX=${3:-$(dirname "$dll")/wineprefix}

tclsh=$(ls "$tcl"/bin/tclsh*.exe 2>/dev/null | head -n 1)
if [ -z "$tclsh" ] || [ ! -f "$dll" ]; then
    echo "error: no tclsh*.exe in $tcl/bin, or no $dll" >&2
    exit 2
fi
# Debian's `wine` prefers the 32-bit loader whenever wine32 is installed, so
# each Tcl gets the loader of its own architecture, read off the PE header.
case $(objdump -f "$tclsh" 2>/dev/null) in
*pei-x86-64*) wine=/usr/lib/wine/wine64 bits=64 ;;
*pei-i386*) wine=/usr/lib/wine/wine bits=32 ;;
*) echo "error: $tclsh is neither a 32- nor a 64-bit x86 Windows program" >&2
   exit 2 ;;
esac
if [ ! -x "$wine" ]; then
    wine=$(command -v wine || true)
fi
if [ -z "$wine" ]; then
    echo "error: no wine (apt-get install wine wine64, and wine32:i386 for 32-bit)" >&2
    exit 2
fi
export WINELOADER=$wine
# Some kernels run no 32-bit Linux programs at all (exec fails with "Exec
# format error"); the 32-bit loader cannot start there, so there is nothing
# to test with, which is said loudly rather than reported as a failure of
# the DLL.  Its build and its export and import checks still ran.
"$wine" --version >/dev/null 2>&1
if [ $? -eq 126 ] && [ $bits = 32 ]; then
    echo "SKIPPED $(basename "$dll") in $(basename "$tclsh"): this machine's kernel runs no 32-bit programs, so no 32-bit Wine"
    exit 0
fi

# Quiet, headless Wine: no debug channels, no window, no offer to install
# Mono or Gecko when the prefix is made.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
unset WAYLAND_DISPLAY
mkdir -p "$WINEPREFIX"
WINEPREFIX=$(cd "$WINEPREFIX" && pwd)    # Wine takes only an absolute path
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "-- making the Wine prefix $WINEPREFIX"
    "$wine" wineboot --init >/dev/null 2>&1 || true
fi

# Paths as the Windows Tcl sees them: Wine's drive Z: is the root.
win() { printf 'Z:%s' "$1"; }
export KARDUM_LIBRARY=$(win "$dll")
export KARDUM_SOURCE_DIR=$(win "$source_dir")
export TCL_LIBRARY=$(win "$(ls -d "$tcl"/lib/tcl[0-9]* | head -n 1)")
# tclsh and its DLL come from the Tcl's bin folder; nothing else on PATH
# matters to the tests.
export WINEPATH=$(win "$tcl/bin")

status=0
run() {
    local label=$1
    shift
    local start=$SECONDS out code
    # A run that hangs (a test, or Wine itself) fails after 10 minutes
    # instead of holding CI up; the whole suite takes well under one.
    out=$(timeout -k 10 600 "$wine" "$tclsh" "$@" 2>&1 | tr -d '\r'; exit "${PIPESTATUS[0]}")
    code=$?
    printf '%s\n' "$out" >"$log_dir/$label.log"
    if [ $code -ne 0 ]; then
        status=1
        printf '%s\n' "$out" | tail -n 60
        echo "FAILED $label (exit status $code, $((SECONDS - start)) s; log: $log_dir/$label.log)"
    else
        echo "ok     $label ($((SECONDS - start)) s)"
    fi
}
log_dir=$(dirname "$dll")/wine-logs
mkdir -p "$log_dir"

echo "-- $(basename "$tclsh") ($(basename "$(dirname "$tcl")")) with $(basename "$dll"), under $("$wine" --version 2>/dev/null)"
run tcltest "$(win "$source_dir/tests/all.tcl")"
grep -h '^tcltest:' "$log_dir/tcltest.log" || true
for example in "$source_dir"/examples/*.tcl; do
    case $(basename "$example") in
    loadlib.tcl) continue ;;
    esac
    run "example_$(basename "$example" .tcl)" "$(win "$example")" --test
done
pages=()
for page in "$source_dir"/README.md "$source_dir"/doc/*.md; do
    pages+=("$(win "$page")")
done
run doc_examples "$(win "$source_dir/tests/doctest.tcl")" "${pages[@]}"
exit $status
