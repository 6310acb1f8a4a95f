#!/bin/sh
# Installs the .deb with apt into a fresh Debian 12 root, which brings the
# declared dependencies and nothing else, and starts the installed program
# there on the offscreen platform: it must stay up, and a second start must
# end at once with status 0. A stand-in udevadm that always fails shows that
# the postinst calls it and still succeeds. The command-line tool must run
# there too. Then the package is removed and purged: remove leaves only what
# the administrator made for the station, purge leaves nothing at all, and
# both have udev reload its rules.
#
#   test-deb.sh PACKAGE.deb BASE_ROOT
# BASE_ROOT is a minimal debootstrap of bookworm, made on first use (a few
# minutes) and copied for every run.
set -eu

DEB=$(realpath "$1")
BASE=$2
ROOT=$(dirname "$DEB")/deb-root
ARCHIVES=$BASE.archives # downloaded packages, kept between runs

"$(dirname "$0")/minbase.sh" "$BASE"

cleanup() {
    if [ -n "${first:-}" ]; then kill "$first" 2>/dev/null; wait "$first" 2>/dev/null; fi || true
    umount "$ROOT/proc" 2>/dev/null || true
}
trap cleanup EXIT

rm -rf "$ROOT"
cp -a "$BASE" "$ROOT"
mkdir -p "$ARCHIVES"
cp "$ARCHIVES"/*.deb "$ROOT/var/cache/apt/archives/" 2>/dev/null || true
cp /etc/resolv.conf "$ROOT/etc/resolv.conf"
cp "$DEB" "$ROOT/tmp/"
mount -t proc proc "$ROOT/proc"
in_root() { chroot "$ROOT" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root "$@"; }

cat > "$ROOT/usr/bin/udevadm" <<'UDEVADM'
#!/bin/sh
echo "$*" >> /tmp/udevadm.log
exit 1
UDEVADM
chmod +x "$ROOT/usr/bin/udevadm"

echo "== apt-get install $(basename "$DEB") into a fresh root"
in_root apt-get update -qq
in_root env DEBIAN_FRONTEND=noninteractive apt-get -o Dpkg::Use-Pty=0 install -y -qq --no-install-recommends "/tmp/$(basename "$DEB")"
cp "$ROOT"/var/cache/apt/archives/*.deb "$ARCHIVES/" 2>/dev/null || true

echo "== installed files"
fail() { echo "FAILED: $*" >&2; exit 1; }
test -x "$ROOT/usr/bin/vortal9-setup" || fail "no /usr/bin/vortal9-setup"
test -x "$ROOT/usr/bin/vortal9-batch" || fail "no /usr/bin/vortal9-batch"
pictures=$(ls "$ROOT"/usr/lib/vortal9-setup/*.ico | wc -l)
[ "$pictures" -eq 143 ] || fail "$pictures key pictures instead of 143"
test -f "$ROOT/usr/lib/udev/rules.d/70-vortal9.rules" || fail "no udev rule"
test -f "$ROOT/usr/share/applications/vortal9-setup.desktop" || fail "no desktop entry"
test -f "$ROOT/usr/lib/udev/rules.d/70-vortal9-station.rules" || fail "no station udev rule"
test -f "$ROOT/usr/lib/systemd/system/vortal9-station.service" || fail "no station unit"
test -f "$ROOT/usr/share/man/man1/vortal9-batch.1.gz" || fail "no vortal9-batch(1)"
test -f "$ROOT/usr/share/man/man1/vortal9-setup.1.gz" || fail "no vortal9-setup(1)"
test -f "$ROOT/usr/share/bash-completion/completions/vortal9-batch" || fail "no bash completion"
ls "$ROOT"/usr/share/metainfo/*.metainfo.xml > /dev/null || fail "no AppStream metadata"
in_root getent group vortal9 > /dev/null || fail "the postinst made no group vortal9"
[ ! -e "$ROOT/etc/systemd/system/multi-user.target.wants/vortal9-station.service" ] || fail "the station is enabled"
for size in 16 32 48; do
    test -f "$ROOT/usr/share/icons/hicolor/${size}x$size/apps/vortal9-setup.png" || fail "no ${size}px icon"
done
printf '%s\n' "control --reload" "trigger --subsystem-match=hidraw --subsystem-match=input" |
    cmp -s - "$ROOT/tmp/udevadm.log" || fail "postinst did not call udevadm as expected"

echo "== the installed command-line tool"
# The root has no readers: --help succeeds and list ends with 4 (no reader attached).
in_root /usr/bin/vortal9-batch --help > /dev/null || fail "vortal9-batch --help failed"
in_root /usr/bin/vortal9-batch --version | grep -qx "vortal9-batch $(dpkg-deb -f "$DEB" Version)" ||
    fail "vortal9-batch --version does not give the package's version"
listed=0
in_root /usr/bin/vortal9-batch list > /dev/null || listed=$?
[ "$listed" -eq 4 ] || fail "vortal9-batch list ended with $listed instead of 4 (no reader attached)"

echo "== the installed program, offscreen"
mkdir -m 700 "$ROOT/tmp/runtime"
# chroot and env exec the program: $! is the program itself.
run() { in_root QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=/tmp/runtime /usr/bin/vortal9-setup; }
chroot "$ROOT" env -i PATH=/usr/bin:/bin HOME=/root QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=/tmp/runtime \
    /usr/bin/vortal9-setup &
first=$!
sleep 3
kill -0 "$first" 2>/dev/null || fail "the program did not stay up"
start=$(date +%s%N)
second=0
run || second=$?
ms=$(( ($(date +%s%N) - start) / 1000000 ))
[ "$second" -eq 0 ] || fail "the second start ended with $second"
[ "$ms" -lt 2000 ] || fail "the second start took $ms ms"
kill -0 "$first" 2>/dev/null || fail "the first copy ended"
echo "OK: installed; the program stays up; a second start ended with 0 after $ms ms"
kill "$first"
wait "$first" 2>/dev/null || true
first=

echo "== remove and purge"
# Every file of the root, less what apt, dpkg and the runs themselves write.
snapshot() {
    (cd "$ROOT" && find . -xdev \( -path ./proc -o -path ./tmp -o -path ./var/log -o -path ./var/cache \
        -o -path ./var/lib/dpkg -o -path ./var/lib/apt \) -prune -o -print) | LC_ALL=C sort
}
package=$(dpkg-deb -f "$DEB" Package)
in_root dpkg --purge "$package" > /dev/null
snapshot > "$ROOT.before"
in_root dpkg -i "/tmp/$(basename "$DEB")" > /dev/null
files=$(in_root dpkg -L "$package" | while read -r f; do [ -f "$ROOT$f" ] || [ -L "$ROOT$f" ] && echo "$f"; done)
# What the administrator makes for the station: its script, the link that
# "systemctl enable" makes.
mkdir -p "$ROOT/etc/vortal9" "$ROOT/etc/systemd/system/multi-user.target.wants"
echo "script" > "$ROOT/etc/vortal9/station.txt"
ln -s /usr/lib/systemd/system/vortal9-station.service \
    "$ROOT/etc/systemd/system/multi-user.target.wants/vortal9-station.service"

: > "$ROOT/tmp/udevadm.log"
in_root env DEBIAN_FRONTEND=noninteractive apt-get -o Dpkg::Use-Pty=0 remove -y -qq "$package" > /dev/null
for f in $files; do [ ! -e "$ROOT$f" ] && [ ! -L "$ROOT$f" ] || fail "apt-get remove left $f"; done
test -f "$ROOT/etc/vortal9/station.txt" || fail "apt-get remove took the station's script"
grep -qx "control --reload" "$ROOT/tmp/udevadm.log" || fail "apt-get remove did not have udev reload its rules"

: > "$ROOT/tmp/udevadm.log"
in_root env DEBIAN_FRONTEND=noninteractive apt-get -o Dpkg::Use-Pty=0 purge -y -qq "$package" > /dev/null
in_root getent group vortal9 > /dev/null && fail "apt-get purge left the group vortal9"
left=$(snapshot | LC_ALL=C comm -13 "$ROOT.before" -)
[ -z "$left" ] || fail "apt-get purge left: $left"
in_root dpkg -s "$package" > /dev/null 2>&1 && fail "dpkg still knows $package after the purge"
echo "OK: apt-get remove and purge left nothing behind"
