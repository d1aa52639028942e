#!/bin/bash
# debian-root.sh -- the project's commands in a minimal Debian root, as on
# a machine that has nothing else.  Needs root (debootstrap, chroot).
#
#	tools/debian-root.sh tcl9  [ROOT]   Debian 13 (trixie), Tcl 9.0 only:
#	    copies this checkout in; `make install` with nothing but what it
#	    installs itself (compiler, CMake, Tcl 9.0 headers; no GoogleTest),
#	    then `make test` and `make demo` (which install what they need);
#	    last, the Tcl 8.6 build installed into the same package folder,
#	    from which tclsh8.6 and tclsh9.0 each load their own.
#	tools/debian-root.sh fresh [ROOT]   Debian 12 (bookworm): installs git
#	    and make, clones this checkout's HEAD, then `make demo` (the
#	    pictures must appear) and `make test`, nothing else typed.
#
# ROOT defaults to build-roots/<suite> in the checkout.  A root that is
# already complete is reused, so only the first run pays for debootstrap;
# KARDUM_FRESH_ROOT=1 (CI) makes a new one.  The package mirror is the one
# this machine's apt uses.
set -euo pipefail

mode=${1:-}
case "$mode" in
    tcl9) suite=trixie ;;
    fresh) suite=bookworm ;;
    *) echo "usage: $0 tcl9|fresh [ROOT]" >&2; exit 2 ;;
esac
here=$(cd "$(dirname "$0")/.." && pwd)
root=${2:-$here/build-roots/$suite}

if [ "$(id -u)" != 0 ]; then
    echo "debian-root.sh: debootstrap and chroot need root: sudo $0 $*" >&2
    exit 1
fi

# The first Debian mirror of this machine's apt sources (one-line .list
# entries or deb822 .sources stanzas), leaving out the security archive.
mirror() {
    local files=() f
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] && files+=("$f")
    done
    [ ${#files[@]} -gt 0 ] || return 0
    awk '
        /^[ \t]*#/ { next }
        /^deb[ \t]/ { for (i = 2; i <= NF; i++) if ($i !~ /^\[/ && $i !~ /=/) { print $i; break } }
        /^URIs:/ { for (i = 2; i <= NF; i++) print $i }
    ' "${files[@]}" | grep -v -e security -e '^$' | grep -i debian | head -n 1
}

step() {
    printf '== %s: %s\n' "$mode" "$*"
}

make_root() {
    if [ "${KARDUM_FRESH_ROOT:-0}" = 1 ]; then
        rm -rf "$root"
    fi
    if [ -f "$root/.kardum-root" ]; then
        return
    fi
    local url
    url=$(mirror)
    if [ -z "$url" ]; then
        echo "debian-root.sh: no Debian mirror found in /etc/apt/sources.list*" >&2
        exit 1
    fi
    rm -rf "$root"
    mkdir -p "$(dirname "$root")"
    step "debootstrap --variant=minbase $suite from $url"
    debootstrap --variant=minbase "$suite" "$root" "$url" > "$root.debootstrap.log" 2>&1 || {
        tail -n 20 "$root.debootstrap.log" >&2
        exit 1
    }
    rm -f "$root.debootstrap.log"
    touch "$root/.kardum-root"
}

# Runs a bash script inside the root, as root, from a login-like shell.
in_root() {
    chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        DEBIAN_FRONTEND=noninteractive "$@"
}

make_root
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true

case "$mode" in
tcl9)
    # The working tree as it is, without build trees or other ignored files.
    rm -rf "$root/src"
    mkdir -p "$root/src"
    (cd "$here" && git ls-files -co --exclude-standard -z | tar --null -T - -cf -) |
        tar -C "$root/src" -xf -
    in_root bash -euo pipefail -c '
        cd /src
        echo "== tcl9: apt-get install make; make install (installs a compiler, CMake and Tcl 9.0; no GoogleTest)"
        apt-get -qq update
        apt-get -o Dpkg::Use-Pty=0 install -y -qq --no-install-recommends make >/dev/null
        gtest() { dpkg-query -W -f="\${Status}\n" libgtest-dev 2>/dev/null | grep -q "ok installed"; }
        if gtest; then had=1; echo "   (GoogleTest is already here: this root was used before)"; else had=0; fi
        TCL_VERSION=9.0 make install PREFIX=/usr/local >/tmp/install.log 2>&1 || { cat /tmp/install.log; exit 1; }
        grep "^deps.sh" /tmp/install.log || true
        tail -n 3 /tmp/install.log
        if [ $had = 0 ] && gtest; then
            echo "make install installed GoogleTest, which it does not need"
            exit 1
        fi
        # A tclsh of its own finds the installed packages.
        printf "%s\n" "puts \"Tcl [info patchlevel]: Kardum_C [package require Kardum_C],\
 kardum [package require kardum], [llength [info commands KD*]] commands,\
 from [lindex [lsearch -inline -index 1 [info loaded] Kardum] 0]\"" > /tmp/installed.tcl
        (cd / && tclsh9.0 /tmp/installed.tcl)
        echo "== tcl9: make test"
        make test
        echo "== tcl9: make demo"
        make demo
        echo "== tcl9: the Tcl 8.6 build installed beside it; each tclsh loads its own"
        TCL_VERSION=8.6 make install BUILD=build86 PREFIX=/usr/local >/tmp/install86.log 2>&1 ||
            { cat /tmp/install86.log; exit 1; }
        ls /usr/local/lib/tcltk/kardum2.0
        (cd / && tclsh8.6 /tmp/installed.tcl && tclsh9.0 /tmp/installed.tcl)
        # Loaded by name into the other Tcl, each build refuses with a message.
        cat > /tmp/other.tcl <<"TCL"
set other [expr {[package vsatisfies [package provide Tcl] 9-] ? "libkardum.so" : "libtcl9kardum.so"}]
# Tcl loads a file once per prefix: the second entry point names it another way.
foreach {prefix dir} {Kardum /usr/local/lib/tcltk/kardum2.0 Kardumpkg /usr/local/lib/tcltk/./kardum2.0} {
    if {![catch {load $dir/$other $prefix} message]} {
        puts "Tcl [info patchlevel] loaded $other"
        exit 1
    }
    puts "Tcl [info patchlevel] refuses $other ($prefix): $message"
}
exit [llength [info commands KD*]]
TCL
        tclsh8.6 /tmp/other.tcl
        tclsh9.0 /tmp/other.tcl
        echo "== tcl9: the demo on Tcl 8.6 gives the same text and pictures as on Tcl 9.0"
        make demo BUILD=build86 DEMO_ARGS="--out demo-output-8.6" > /tmp/demo86.log 2>&1 ||
            { cat /tmp/demo86.log; exit 1; }
        make demo > /tmp/demo9.log 2>&1
        for log in /tmp/demo86.log /tmp/demo9.log; do
            sed -n "/^Franke/,\$p" $log | grep -v -e " took " -e " ms$" -e "^  pictures:" > $log.text
        done
        diff /tmp/demo86.log.text /tmp/demo9.log.text
        for picture in demo-output/*.png; do
            cmp "$picture" "demo-output-8.6/${picture##*/}"
        done
        echo "   same text ($(wc -l < /tmp/demo9.log.text) lines) and pictures ($(ls demo-output/*.png | wc -l))"
    '
    ;;
fresh)
    # The checkout under test, as a repository the root can clone.
    rm -rf "$root/srv/kardum.git" "$root/root/kardum"
    mkdir -p "$root/srv"
    git clone -q --bare "$here" "$root/srv/kardum.git"
    in_root bash -euo pipefail -c '
        echo "== fresh: apt-get install git make"
        apt-get -qq update
        apt-get -o Dpkg::Use-Pty=0 install -y -qq --no-install-recommends git make >/dev/null
        git clone -q /srv/kardum.git /root/kardum
        cd /root/kardum
        echo "== fresh: make demo"
        make demo
        ls -l demo-output/truth.png demo-output/binned.png demo-output/filled.png
        echo "== fresh: make test"
        make test
    '
    ;;
esac
step "passed"
