#!/bin/sh
# Installs the .deb with apt into a fresh Debian 12 root, which brings the
# declared dependencies and nothing else, and starts the installed program
# there on the offscreen platform: it must stay up, and a second start must
# end at once with status 0. A stand-in udevadm that always fails shows that
# the postinst calls it and still succeeds. The command-line tool must run
# there too.
#
#   test-deb.sh PACKAGE.deb BASE_ROOT
# BASE_ROOT is a minimal debootstrap of bookworm, made on first use (a few
# minutes) and copied for every run.
set -eu

DEB=$(realpath "$1")
BASE=$2
ROOT=$(dirname "$DEB")/deb-root
ARCHIVES=$BASE.archives # downloaded packages, kept between runs

if [ ! -f "$BASE/.complete" ]; then
    rm -rf "$BASE.tmp"
    mirror=$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n 1)
    debootstrap --variant=minbase bookworm "$BASE.tmp" "${mirror:-http://deb.debian.org/debian}"
    touch "$BASE.tmp/.complete"
    mv "$BASE.tmp" "$BASE"
fi

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
in_root() { chroot "$ROOT" env -i PATH=/usr/bin:/bin HOME=/root "$@"; }

cat > "$ROOT/usr/bin/udevadm" <<'UDEVADM'
#!/bin/sh
echo "$*" >> /tmp/udevadm.log
exit 1
UDEVADM
chmod +x "$ROOT/usr/bin/udevadm"

echo "== apt-get install $(basename "$DEB") into a fresh root"
in_root apt-get update -qq
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "/tmp/$(basename "$DEB")"
cp "$ROOT"/var/cache/apt/archives/*.deb "$ARCHIVES/" 2>/dev/null || true

echo "== installed files"
fail() { echo "FAILED: $*" >&2; exit 1; }
test -x "$ROOT/usr/bin/vortal9-setup" || fail "no /usr/bin/vortal9-setup"
test -x "$ROOT/usr/bin/vortal9-batch" || fail "no /usr/bin/vortal9-batch"
pictures=$(ls "$ROOT"/usr/lib/vortal9-setup/*.ico | wc -l)
[ "$pictures" -eq 143 ] || fail "$pictures key pictures instead of 143"
test -f "$ROOT/usr/lib/udev/rules.d/70-vortal9.rules" || fail "no udev rule"
test -f "$ROOT/usr/share/applications/vortal9-setup.desktop" || fail "no desktop entry"
for size in 16 32 48; do
    test -f "$ROOT/usr/share/icons/hicolor/${size}x$size/apps/vortal9-setup.png" || fail "no ${size}px icon"
done
printf '%s\n' "control --reload" "trigger --subsystem-match=hidraw --subsystem-match=input" |
    cmp -s - "$ROOT/tmp/udevadm.log" || fail "postinst did not call udevadm as expected"

echo "== the installed command-line tool"
# The root has no readers: --help succeeds and list ends with 4 (no reader attached).
in_root /usr/bin/vortal9-batch --help > /dev/null || fail "vortal9-batch --help failed"
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
