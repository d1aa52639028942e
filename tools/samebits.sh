#!/bin/sh
# samebits.sh -- the same bits from two builds.
#
#	tools/samebits.sh OLD_BUILD NEW_BUILD [-full]
#
# Runs tools/samebits.tcl (the benchmarks' jobs and the tests' fixtures)
# through the tclsh.sh of each build tree and compares the two listings;
# exits non-zero, showing the lines that differ, when any result changed.
# The script and the jobs it sources come from this source tree for both
# builds, so the same calls run on each.
set -eu
if [ $# -lt 2 ]; then
    echo "usage: $0 OLD_BUILD NEW_BUILD [-full]" >&2
    exit 2
fi
old=$1 new=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
"$old/tclsh.sh" "$here/samebits.tcl" "$@" "$out/work-old" > "$out/old.txt"
"$new/tclsh.sh" "$here/samebits.tcl" "$@" "$out/work-new" > "$out/new.txt"
if diff "$out/old.txt" "$out/new.txt"; then
    echo "the same bits: $(wc -l < "$out/new.txt") results of $old and $new agree"
else
    echo "results differ between $old and $new" >&2
    exit 1
fi
