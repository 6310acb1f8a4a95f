#!/bin/sh
# CPack writes the -dbgsym package's md5sums with the build folder's absolute
# paths, gives it no documentation folder and leaves the debug files
# executable. Rebuilds it as Debian's own -dbgsym packages are: md5sums by
# path in the package, /usr/share/doc/PACKAGE-dbgsym a link to the folder of
# the package it depends on (copyright and changelog), debug files 0644.
#
#   finish-dbgsym.sh PACKAGE-dbgsym_VERSION_ARCH.ddeb
set -eu

ddeb=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root

dpkg-deb -R "$ddeb" "$root"
package=$(sed -n 's/^Package: //p' "$root/DEBIAN/control")
find "$root/usr/lib/debug" -type f -name '*.debug' -exec chmod 0644 {} +
mkdir -p "$root/usr/share/doc"
ln -s "${package%-dbgsym}" "$root/usr/share/doc/$package"
(cd "$root" && find usr -type f -print | LC_ALL=C sort | xargs md5sum) > "$root/DEBIAN/md5sums"
chmod 0644 "$root/DEBIAN/md5sums"
dpkg-deb --root-owner-group --build "$root" "$ddeb" > /dev/null
