#!/usr/bin/env bash
# Runs cmake/check-dll-exports.sh on the fixture DLL (export_fixture.cpp)
# against headers that declare too few, too many or exactly its exports,
# and checks the names it reports and its exit status.
#
#   check-exports-test.sh CHECK OBJDUMP FIXTURE_DLL WORKDIR
set -uo pipefail

if [ $# -ne 4 ]; then
    echo "usage: $0 CHECK OBJDUMP FIXTURE_DLL WORKDIR" >&2
    exit 2
fi
check=$1 objdump=$2 dll=$3 work=$4
mkdir -p "$work"

preamble='#if defined(_WIN32)
#  define KARDUM_API __declspec(dllexport)
#else
#  define KARDUM_API __attribute__((visibility("default")))
#endif'
init='KARDUM_API int Fixture_Init(void *interp);'
worker='KARDUM_API double Fixture_C(const double *x,
                              int n);'
cmd='KARDUM_API int FixtureCmd(void *cd, void *interp, int objc,
                          void *const objv[]);'
name='KARDUM_API const char *Fixture_Name(void);'
hidden='KARDUM_API int Fixture_Hidden(int x);'
absent='KARDUM_API int Fixture_Absent (void);'
split='KARDUM_API int
Fixture_C(const double *x, int n);'

failures=0
cases=0

# expect CASE STATUS "MISSING..." "EXTRA..." "TEXT" DECLARATION...
expect() {
    local label=$1 want_status=$2 want_missing=$3 want_extra=$4 want_text=$5
    shift 5
    local header=$work/$label.h
    { printf '%s\n' "$preamble"; printf '%s\n' "$@"; } >"$header"
    local out status
    out=$(bash "$check" "$objdump" "$dll" "$header" 2>&1)
    status=$?
    local missing extra
    missing=$(printf '%s\n' "$out" | sed -n 's/^ *missing: //p' | LC_ALL=C sort | xargs)
    extra=$(printf '%s\n' "$out" | sed -n 's/^ *extra: //p' | LC_ALL=C sort | xargs)
    local problems=()
    [ "$status" = "$want_status" ] || problems+=("exit status $status, expected $want_status")
    [ "$missing" = "$want_missing" ] || problems+=("missing '$missing', expected '$want_missing'")
    [ "$extra" = "$want_extra" ] || problems+=("extra '$extra', expected '$want_extra'")
    case $out in
    *"$want_text"*) ;;
    *) problems+=("output lacks '$want_text'") ;;
    esac
    cases=$((cases + 1))
    if [ ${#problems[@]} -gt 0 ]; then
        failures=$((failures + 1))
        echo "FAILED $label:"
        printf '    %s\n' "${problems[@]}"
        printf '%s\n' "$out" | sed 's/^/    | /'
    fi
}

expect exact 0 "" "" "exports exactly the 4 functions" \
    "$init" "$worker" "$cmd" "$name"
expect missing 1 "Fixture_Absent Fixture_Hidden" "" "2 declared but not exported" \
    "$init" "$worker" "$cmd" "$name" "$hidden" "$absent"
expect extra 1 "" "FixtureCmd Fixture_Name" "2 exported but not declared" \
    "$init" "$worker"
expect both 1 "Fixture_Absent" "Fixture_Name" "exports differ" \
    "$absent" "$init" "$worker" "$cmd"
expect unreadable 1 "" "" "cannot read every KARDUM_API declaration" \
    "$init" "$split" "$cmd" "$name"
expect duplicate 1 "" "" "declares more than once: Fixture_Init" \
    "$init" "$worker" "$cmd" "$name" "$init"

if [ $failures -gt 0 ]; then
    echo "export check self-test: $failures of $cases cases FAILED"
    exit 1
fi
echo "export check self-test: all $cases cases pass"
