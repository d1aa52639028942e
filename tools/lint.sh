#!/bin/sh
# lint.sh -- static analysis of the library's C++ with cppcheck.
#
#	tools/lint.sh [FILE...]
#
# Checks the given sources, or every source and header of frame/, arith/,
# data/, fit/, grid/ and package/, for cppcheck's warnings and its performance and
# portability findings, and fails on any finding: the tree has none, so
# every finding is new.  A finding that is wrong for this code is
# suppressed at its line with a comment "// cppcheck-suppress <id>" saying
# why.  Takes a few seconds; `make lint` and CI run it.
set -eu
cd "$(dirname "$0")/.."

if [ $# -eq 0 ]; then
    set -- frame arith data fit grid package
fi
# useInitializationList is left out: members that are set only after a
# check in the constructor's body (a channel, a handle) read better there.
exec cppcheck --quiet --error-exitcode=1 --inline-suppr \
    --enable=warning,performance,portability \
    --suppress=useInitializationList \
    --std=c++20 --language=c++ \
    -I include -I . \
    "$@"
