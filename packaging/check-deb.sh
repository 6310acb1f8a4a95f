#!/bin/sh
# What a distribution would check of the package: lintian (no errors, no
# warnings), the desktop entry, the AppStream metadata, and the station's
# systemd unit as systemd reads it with the package's files in place.
#
#   check-deb.sh PACKAGE.deb PACKAGE-dbgsym.ddeb
set -eu

deb=$(realpath "$1")
ddeb=$(realpath "$2")
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"

echo "== lintian"
lintian --fail-on error,warning --display-info "$deb" "$ddeb"

echo "== desktop-file-validate"
desktop-file-validate "$root"/usr/share/applications/*.desktop

echo "== appstreamcli validate --no-net"
appstreamcli validate --no-net "$root"/usr/share/metainfo/*.metainfo.xml

echo "== systemd-analyze verify"
# The unit names /usr/bin/vortal9-batch and its man page: verify it in a
# private mount namespace where the package's /usr lies over the system's.
unshare -m sh -c 'mount -t overlay overlay -o "lowerdir=$1/usr:/usr" /usr &&
    systemd-analyze verify /usr/lib/systemd/system/vortal9-station.service' sh "$root"
echo "OK: lintian, desktop entry, AppStream metadata and systemd unit"
