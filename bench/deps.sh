#!/bin/sh
# Installs what the benchmarks compare against when it is missing: Debian's
# tcllib (math::linearalgebra), the reference LAPACK and GMT (its
# nearneighbor, against files to a filled grid).  Run by `make
# bench` only; the tests and CI need neither.
set -e
TCLSH=${TCLSH:-tclsh}
need=""
if ! echo 'package require math::linearalgebra' | "$TCLSH" >/dev/null 2>&1; then
    need="$need tcllib"
fi
if ! dpkg -s liblapack-dev >/dev/null 2>&1; then
    need="$need liblapack-dev"
fi
if ! command -v gmt >/dev/null 2>&1; then
    need="$need gmt"
fi
[ -z "$need" ] && exit 0
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "bench: installing$need"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $need >/dev/null
else
    echo "bench: please install$need (the comparators of the benchmark table)" >&2
fi
