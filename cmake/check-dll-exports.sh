#!/usr/bin/env bash
# Compares the functions a DLL exports with those a header declares with
# KARDUM_API: each must be exported under its plain C name, and nothing
# else may be.  Prints every missing and every extra name; exits 1 when
# there is either.
#
#   check-dll-exports.sh OBJDUMP DLL HEADER
set -euo pipefail

if [ $# -ne 3 ]; then
    echo "usage: $0 OBJDUMP DLL HEADER" >&2
    exit 2
fi
objdump=$1 dll=$2 header=$3

# Declarations: a line that starts with KARDUM_API and names the function
# before its "(" on that same line, as in include/kardum.h.
declared=$(sed -n -E 's/^[[:space:]]*KARDUM_API[[:space:]][^(]*[^A-Za-z0-9_(]([A-Za-z_][A-Za-z0-9_]*)[[:space:]]*\(.*/\1/p' "$header" |
           LC_ALL=C sort)
declaring_lines=$(grep -c -E '^[[:space:]]*KARDUM_API[[:space:]]' "$header" || true)
if [ "$declaring_lines" -ne "$(printf '%s' "$declared" | grep -c . || true)" ]; then
    echo "error: cannot read every KARDUM_API declaration of $header;" \
         "keep the function name and its \"(\" on the line of KARDUM_API:" >&2
    grep -n -E '^[[:space:]]*KARDUM_API[[:space:]]' "$header" |
        grep -v -E '[A-Za-z0-9_][[:space:]]*\(' >&2 || true
    exit 1
fi
duplicates=$(printf '%s\n' "$declared" | uniq -d)
if [ -n "$duplicates" ]; then
    echo "error: $header declares more than once:" $duplicates >&2
    exit 1
fi

# Exports: the entries of objdump's name table, e.g. "	[   3] Kardum_Init".
exported=$("$objdump" -p "$dll" | awk '
    /^\[Ordinal\/Name Pointer\] Table/ { table = 1; next }
    table && /^[[:space:]]*\[[[:space:]]*[0-9]+\]/ { print $NF; next }
    table { table = 0 }' | LC_ALL=C sort)

missing=$(LC_ALL=C comm -23 <(printf '%s\n' "$declared") <(printf '%s\n' "$exported") | grep . || true)
extra=$(LC_ALL=C comm -13 <(printf '%s\n' "$declared") <(printf '%s\n' "$exported") | grep . || true)

count() { printf '%s' "$1" | grep -c . || true; }
name=$(basename "$dll")
if [ -z "$missing" ] && [ -z "$extra" ]; then
    echo "$name exports exactly the $(count "$declared") functions declared in $(basename "$header")"
    exit 0
fi
echo "$name exports differ from the declarations in $header:"
if [ -n "$missing" ]; then
    echo "  $(count "$missing") declared but not exported:"
    printf '    missing: %s\n' $missing
fi
if [ -n "$extra" ]; then
    echo "  $(count "$extra") exported but not declared:"
    printf '    extra: %s\n' $extra
fi
exit 1
