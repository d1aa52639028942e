#!/usr/bin/env bash
# Fetches Debian's source of a Tcl release and unpacks its upstream tarball:
#
#   tcl-source.sh PACKAGE DESTDIR [SUITE]     e.g. tcl8.6 build-wintcl
#                                             or   tcl9.0 build-wintcl sid
#
# Leaves the unpacked tree in DESTDIR/src-PACKAGE and prints its path.
#
# The source comes through `apt-get source --download-only` from a deb-src
# entry that exists for that command only: the mirror is the one the
# machine's own apt configuration uses for Debian's main component, read
# from `apt-cache policy`, and the entry, its package lists and apt's caches
# live in a scratch directory.  The machine's apt configuration is neither
# read as a file nor changed.  SUITE defaults to the machine's own Debian
# release; it may name one the machine does not use (sid, for Tcl 9): the
# same mirror serves it.
set -euo pipefail

if [ $# -lt 2 ] || [ $# -gt 3 ]; then
    echo "usage: $0 PACKAGE DESTDIR [SUITE]" >&2
    exit 2
fi
pkg=$1 dest=$2 suite=${3:-}
mkdir -p "$dest"
dest=$(cd "$dest" && pwd)
out=$dest/src-$pkg

if [ -f "$out/win/configure" ]; then
    echo "$out"
    exit 0
fi

# The mirror and the release: the first "<uri> <suite>/main" of apt's
# policy whose suite is a plain release (not -updates or -security).
read -r mirror own_suite < <(apt-cache policy | awk '
    $NF == "Packages" && $3 ~ /^[a-z]+\/main$/ && $2 ~ /^https?:\/\// {
        sub(/\/main$/, "", $3); print $2, $3; exit }') || true
if [ -z "${mirror:-}" ]; then
    echo "error: apt-cache policy names no mirror of Debian's main component" >&2
    exit 1
fi
suite=${suite:-$own_suite}

work=$(mktemp -d "$dest/apt.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/sources" "$work/lists/partial" "$work/cache/archives/partial" "$work/download"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
{
    echo "Types: deb-src"
    echo "URIs: $mirror"
    echo "Suites: $suite"
    echo "Components: main"
    [ -f "$keyring" ] && echo "Signed-By: $keyring"
} >"$work/sources/src.sources"

apt_opts=(
    -o "Dir::Etc::SourceList=/dev/null"
    -o "Dir::Etc::SourceParts=$work/sources"
    -o "Dir::State::Lists=$work/lists"
    -o "Dir::Cache=$work/cache"
    -o "Dir::Cache::pkgcache="
    -o "Dir::Cache::srcpkgcache="
    -o "APT::Sandbox::User=root"
)
echo "-- $pkg source from $mirror $suite" >&2
apt-get "${apt_opts[@]}" -qq update >&2
# Only the upstream tarball is built from: a mirror that lacks the Debian
# parts (.dsc, .debian.tar.xz) of a newer upload still serves.
(cd "$work/download" && apt-get "${apt_opts[@]}" -qq source --download-only "$pkg" >&2) ||
    echo "-- apt-get source $pkg did not bring every file; going on with the upstream tarball" >&2

orig=$(ls "$work/download"/*.orig.tar.* 2>/dev/null | head -n 1)
if [ -z "$orig" ]; then
    echo "error: apt-get source $pkg brought no upstream tarball:" >&2
    ls "$work/download" >&2
    exit 1
fi
rm -rf "$out.tmp"
mkdir -p "$out.tmp"
tar -xf "$orig" -C "$out.tmp" --strip-components=1
if [ ! -f "$out.tmp/win/configure" ]; then
    echo "error: $(basename "$orig") has no win/configure" >&2
    exit 1
fi
rm -rf "$out"
mv "$out.tmp" "$out"
echo "$out"
