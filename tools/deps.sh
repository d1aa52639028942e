#!/bin/sh
# deps.sh -- the Debian packages each make target needs, in one place.
#
#	tools/deps.sh [--print] TARGET...
#
# TARGET: a make target (build demo install test sanitize memcheck fuzz
# bench windows test-tcl9 test-fresh ...) or ci, everything CI runs.  Checks which packages the targets need are missing.  As root it
# installs them (apt-get update once, then apt-get install); otherwise it
# prints the exact apt-get line to run and fails.  When all is present it
# prints nothing.  --print only lists the packages of the targets.
#
# TCL_VERSION=9.0 in the environment asks for Tcl 9.0 instead of the Tcl
# the machine has (8.6 when it has none).
set -eu

print=0
if [ "${1:-}" = --print ]; then
    print=1
    shift
fi
if [ $# -eq 0 ]; then
    echo "usage: $0 [--print] build|demo|install|test|sanitize|memcheck|fuzz|bench|windows|tcl9|strict|lint|ci ..." >&2
    exit 2
fi

installed() {
    dpkg-query -W -f='${Status}\n' "$1" 2>/dev/null | grep -q "ok installed"
}

# The Tcl with headers: the one asked for, else one already here, else 8.6.
case "${TCL_VERSION:-}" in
    "")
        if installed tcl9.0-dev && ! installed tcl8.6-dev; then
            tcl=9.0
        else
            tcl=8.6
        fi ;;
    8.6|9.0) tcl=$TCL_VERSION ;;
    *) echo "deps.sh: TCL_VERSION must be 8.6 or 9.0, got '$TCL_VERSION'" >&2; exit 2 ;;
esac

# The Thread package, which the tests use, is packaged for each Tcl.
if [ $tcl = 9.0 ]; then
    tcl="tcl9.0 tcl9.0-dev"
    thread=tcl9.0-thread
else
    tcl="tcl8.6 tcl8.6-dev tcl"
    thread=tcl-thread
fi
build="cmake g++ make binutils $tcl"
# The Windows DLLs: the cross compilers, and a host tclsh, which the build
# of the Windows Tcl runs.  Their tests run under Wine, the 32-bit DLL under
# wine32 from the i386 architecture (added when it is missing).
windows="cmake make tcl g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32"
wine="wine wine64 wine32:i386"
# netCDF and GeoTIFF grids: libnetcdf, libtiff and libgeotiff to build
# them, GMT and GDAL to read them back.
gridlibs="libnetcdf-dev libtiff-dev libgeotiff-dev gmt gdal-bin"
test="$build libgtest-dev $thread $gridlibs"
packages=""
for target in "$@"; do
    case "$target" in
        clean|deps) ;;
        test|sanitize) packages="$packages $test" ;;
        strict) packages="$packages $test clang" ;;
        lint) packages="$packages cppcheck" ;;
        memcheck) packages="$packages $test valgrind" ;;
        fuzz*) packages="$packages $build clang libclang-rt-dev libtiff-dev libgeotiff-dev" ;;
        bench*) packages="$packages $build libbenchmark-dev liblapack-dev tcllib gmt time r-base-core r-cran-fields python3-scipy" ;;
        windows-test) packages="$packages $windows $wine" ;;
        windows*) packages="$packages $windows" ;;
        test-tcl9|test-fresh) packages="$packages debootstrap git ca-certificates" ;;
        ci) packages="$packages $test valgrind clang libclang-rt-dev cppcheck $windows $wine
                      libbenchmark-dev
                      debootstrap git ca-certificates" ;;
        *) packages="$packages $build" ;;   # build, demo, install, all, ...
    esac
done
packages=$(printf '%s\n' $packages | sort -u | tr '\n' ' ')

if [ $print = 1 ]; then
    echo $packages
    exit 0
fi

if ! command -v dpkg-query >/dev/null 2>&1; then
    # Not Debian: the build finds what it needs or says what is missing.
    exit 0
fi

# One dpkg-query for all of them.
# A package of another architecture is asked for as name:arch.
have=" $(dpkg-query -W -f='${Package} ${Architecture} ${Status}\n' $packages 2>/dev/null |
         awk '$NF == "installed" && $(NF-1) == "ok" {print $1; print $1 ":" $2}' | tr '\n' ' ') "
missing=""
for p in $packages; do
    case "$have" in
        *" $p "*) ;;
        *) missing="$missing $p" ;;
    esac
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" != 0 ]; then
    echo "Missing for make $*:" >&2
    echo "    sudo apt-get install -y --no-install-recommends$missing" >&2
    echo "Run that line (or this target as root, which installs them), then make again." >&2
    exit 1
fi
echo "deps.sh: installing$missing" >&2
export DEBIAN_FRONTEND=noninteractive
for p in $missing; do
    case "$p" in
        *:*) arch=${p#*:}
             dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch" ;;
    esac
done
apt-get -o DPkg::Lock::Timeout=900 update -qq
apt-get -o DPkg::Lock::Timeout=900 -o Dpkg::Use-Pty=0 install -y -qq --no-install-recommends $missing >/dev/null
