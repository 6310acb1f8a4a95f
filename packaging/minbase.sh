#!/bin/sh
# Makes a minimal Debian 12 root (debootstrap minbase, from the mirror apt
# uses here) at ROOT unless one is complete there already. The package tests
# copy it for every run.
#
#   minbase.sh ROOT
set -eu
BASE=$1
if [ ! -f "$BASE/.complete" ]; then
    rm -rf "$BASE.tmp"
    mirror=$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n 1)
    debootstrap --variant=minbase bookworm "$BASE.tmp" "${mirror:-http://deb.debian.org/debian}"
    touch "$BASE.tmp/.complete"
    mv "$BASE.tmp" "$BASE"
fi
