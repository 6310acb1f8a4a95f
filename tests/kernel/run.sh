#!/bin/bash
# The real-kernel test: boots Debian 12's own kernel in qemu and runs the
# checks in tests/kernel/checks/ (through guest.sh) against the programs of
# the normal build, on real /dev/hidraw* and /dev/input/event* nodes of
# readers made with /dev/uhid inside the virtual machine.
#
#   tests/kernel/run.sh BUILD CACHE_DIR [CHECK...]
#
# BUILD is the normal build folder (its bin/ holds the programs); CACHE_DIR
# keeps the kernel, its modules and udev between runs. Results and the
# guest's console go to BUILD/kernel-test/. CHECK names (such as 20-apply)
# limit the run to those checks. KERNEL_ACCEL=tcg|kvm overrides the
# accelerator probe; KERNEL_TIMEOUT bounds the whole boot (seconds);
# KERNEL_SOAK_PLUGS is how many readers the soak check plugs in (default 500).
# WIN_BUILD (a Windows build folder, make windows) and WINE_PREFIX (a Wine
# prefix made on the host, tools/windows/guest-prefix.sh) add the checks in
# tests/kernel/wine/: the Windows programs under Wine on the same readers.
#
# The host's root is shared read-only (9p) and the guest works in a chroot of
# it, with its own /proc, /sys, /dev, /run and /tmp: nothing the guest does
# reaches the host but the files it writes into BUILD/kernel-test/out.
# No uhid device and no USB gadget is ever made on the host.
set -euo pipefail

SRC=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=$(cd "${1:?usage: run.sh BUILD CACHE_DIR [CHECK...]}" && pwd)
CACHE=${2:?usage: run.sh BUILD CACHE_DIR [CHECK...]}
shift 2
ONLY="$*"
KERNEL_SOAK_PLUGS=${KERNEL_SOAK_PLUGS:-500}
case "$KERNEL_SOAK_PLUGS" in ''|*[!0-9]*) echo "kernel-test: KERNEL_SOAK_PLUGS is a number of readers, not \"$KERNEL_SOAK_PLUGS\""; exit 2 ;; esac
# The soak check may take up to three seconds per reader it plugs in.
# The Windows programs' checks under Wine have 20 minutes each.
KERNEL_TIMEOUT=${KERNEL_TIMEOUT:-$((900 + 3 * KERNEL_SOAK_PLUGS + ${WIN_BUILD:+3 * 1200 +} 0))}
PY=/usr/bin/python3

mkdir -p "$CACHE"
CACHE=$(cd "$CACHE" && pwd)
WORK=$BUILD/kernel-test
OUT=$WORK/out
rm -rf "$WORK"
mkdir -p "$WORK" "$OUT"

started=$(date +%s.%N)
say() { echo "kernel-test: $*"; }

# --- The kernel: the package linux-image-amd64 depends on, unpacked --------
kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        awk '/Depends: linux-image-[0-9]/ { print $2; exit }'
}
PKG=$(kernel_package || true)
KDIR=
if [ -n "$PKG" ] && [ -d "$CACHE/kernel/$PKG/boot" ]; then
    KDIR=$CACHE/kernel/$PKG
elif [ -n "$PKG" ]; then
    say "fetching $PKG"
    tmp=$CACHE/kernel/.download
    rm -rf "$tmp" && mkdir -p "$tmp"
    (cd "$tmp" && apt-get download "$PKG" >/dev/null 2>&1)
    rm -rf "$CACHE/kernel/$PKG.part"
    dpkg-deb -x "$tmp"/"$PKG"_*.deb "$CACHE/kernel/$PKG.part"
    rm -rf "$tmp"
    mv "$CACHE/kernel/$PKG.part" "$CACHE/kernel/$PKG"
    KDIR=$CACHE/kernel/$PKG
else
    # No package information (offline, say): the newest kernel already here.
    KDIR=$(ls -d "$CACHE"/kernel/linux-image-* 2>/dev/null | sort -V | tail -1 || true)
fi
[ -n "$KDIR" ] && [ -d "$KDIR/boot" ] || { say "no kernel: apt-get download linux-image-amd64's kernel failed"; exit 1; }
KVER=$(ls "$KDIR/lib/modules" | head -1)
MODS=$KDIR/lib/modules/$KVER
[ -f "$MODS/modules.dep" ] || depmod -b "$KDIR" "$KVER"

# The uncompressed kernel boots through its PVH entry, about twice as fast
# under TCG as the compressed one; Debian compresses it with xz.
VMLINUX=$KDIR/vmlinux
if [ ! -s "$VMLINUX" ]; then
    "$PY" - "$KDIR/boot/vmlinuz-$KVER" "$VMLINUX" <<'EOF' || rm -f "$VMLINUX"
import lzma, sys
data = open(sys.argv[1], 'rb').read()
at = data.find(b'\xfd7zXZ\x00')
while at >= 0:
    try:
        out = lzma.LZMADecompressor(format=lzma.FORMAT_XZ).decompress(data[at:])
        if out[:4] == b'\x7fELF':
            open(sys.argv[2], 'wb').write(out)
            sys.exit(0)
    except lzma.LZMAError:
        pass
    at = data.find(b'\xfd7zXZ\x00', at + 1)
sys.exit(1)
EOF
fi
if [ -s "$VMLINUX" ]; then BOOT_IMAGE=$VMLINUX; else BOOT_IMAGE=$KDIR/boot/vmlinuz-$KVER; fi

# --- udev: Debian's package unpacked (the host has none installed) ---------
UDEV_VERSION=$(dpkg-query -W -f='${Version}' libudev1 2>/dev/null || true)
UDEV=$CACHE/udev/${UDEV_VERSION:-any}
if [ ! -x "$UDEV/bin/udevadm" ]; then
    say "fetching udev $UDEV_VERSION"
    tmp=$CACHE/udev/.download
    rm -rf "$tmp" && mkdir -p "$tmp"
    (cd "$tmp" && apt-get download "udev${UDEV_VERSION:+=$UDEV_VERSION}" >/dev/null 2>&1)
    rm -rf "$UDEV.part"
    dpkg-deb -x "$tmp"/udev_*.deb "$UDEV.part"
    ln -sf udevadm "$UDEV.part/bin/systemd-udevd"
    rm -rf "$tmp"
    mv "$UDEV.part" "$UDEV"
fi

# --- What the guest sees of the host's folders -----------------------------
# The guest has /tmp, /run and /dev of its own (tmpfs, devtmpfs), which hide
# the host's: a build, source or udev folder below one of them is shared with
# the guest on its own and mounted there at the same path. The kernel's
# command line carries the paths, so they must not hold a space, a comma or
# a colon.
SHARES=()
MOUNTS=
for path in "$SRC" "$BUILD" "$UDEV"; do
    case "$path" in
    *[[:space:],:]*)
        say "$path has a space, a comma or a colon, which the virtual machine cannot be told: use a folder without"
        exit 2
        ;;
    /tmp|/tmp/*|/run|/run/*|/dev|/dev/*|/proc/*|/sys/*)
        tag=share$((${#SHARES[@]} / 2))
        SHARES+=(-virtfs "local,path=$path,mount_tag=$tag,security_model=none,readonly=on,multidevs=remap")
        MOUNTS="$MOUNTS${MOUNTS:+,}$tag:$path"
        ;;
    esac
done

# --- The initramfs: busybox and the modules, loaded in modules.dep order ---
MODULES="virtio_pci 9pnet_virtio 9p configfs uhid evdev hid-generic usbhid dummy_hcd libcomposite usb_f_hid"
INITRD=$WORK/initramfs.cpio
ROOTFS=$WORK/initramfs
mkdir -p "$ROOTFS"/{bin,dev,proc,sys,newroot,modules}
cp /bin/busybox "$ROOTFS/bin/busybox"
"$PY" - "$MODS" "$ROOTFS/modules" $MODULES <<'EOF'
# Every module asked for, each after the modules it needs (modules.dep),
# copied into the initramfs with its load order in modules/order.
import os, shutil, sys
base, dest, wanted = sys.argv[1], sys.argv[2], sys.argv[3:]
deps, by_name = {}, {}
for line in open(os.path.join(base, 'modules.dep')):
    path, _, rest = line.partition(':')
    deps[path] = rest.split()
    by_name[os.path.basename(path).split('.ko')[0].replace('-', '_')] = path
order = []
def visit(path):
    if path in order:
        return
    for dep in deps[path]:
        visit(dep)
    order.append(path)
for name in wanted:
    visit(by_name[name.replace('-', '_')])
with open(os.path.join(dest, 'order'), 'w') as f:
    for path in order:
        name = os.path.basename(path)
        shutil.copy(os.path.join(base, path), os.path.join(dest, name))
        f.write(name + '\n')
EOF
cat > "$ROOTFS/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in $(cat /modules/order); do insmod /modules/$m || echo "insmod $m failed"; done
arg() { sed -n "s/.*vortal9\.$1=\([^ ]*\).*/\1/p" /proc/cmdline; }
if [ "$(arg probe)" = 1 ]; then echo VORTAL9-PROBE-OK; reboot -f; fi
R=/newroot
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=512000,cache=loose hostroot $R || { echo "9p mount failed"; reboot -f; }
mount -t proc proc $R/proc
mount -t sysfs sys $R/sys
mount -t devtmpfs dev $R/dev
mkdir -p $R/dev/pts $R/dev/shm
mount -t devpts devpts $R/dev/pts
mount -t tmpfs tmpfs $R/dev/shm
mount -t tmpfs tmpfs $R/run
mount -t tmpfs tmpfs $R/tmp
mount -t configfs configfs $R/sys/kernel/config 2>/dev/null
# Host folders that the guest's own /tmp, /run or /dev hide (run.sh: SHARES).
for share in $(arg mounts | tr , ' '); do
    mkdir -p "$R${share#*:}"
    mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=512000,cache=loose "${share%%:*}" "$R${share#*:}" ||
        echo "mounting ${share#*:} failed"
done
mkdir -p $R/run/vortal9-out
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 out $R/run/vortal9-out
# The guest's own users and groups: the host's, the station's group
# vortal9 and a plain user, bound over the read-only /etc of the host.
mkdir -p $R/run/vortal9-etc
cp $R/etc/passwd $R/etc/group $R/run/vortal9-etc/
echo "vortal9:x:990:" >> $R/run/vortal9-etc/group
echo "tech:x:991:" >> $R/run/vortal9-etc/group
echo "tech:x:991:991:technician:/tmp:/bin/sh" >> $R/run/vortal9-etc/passwd
mount --bind $R/run/vortal9-etc/passwd $R/etc/passwd
mount --bind $R/run/vortal9-etc/group $R/etc/group
SRC=$(arg src) BUILD=$(arg build) UDEV=$(arg udev) ONLY=$(arg only | tr , ' ') SOAK_PLUGS=$(arg soak)
chroot $R /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/root LANG=C.UTF-8 \
    SRC=$SRC BUILD=$BUILD UDEV=$UDEV ONLY="$ONLY" OUT=/run/vortal9-out SOAK_PLUGS=$SOAK_PLUGS \
    WIN_BUILD=$(arg winbuild) WINE_PREFIX=$(arg wineprefix) \
    /bin/bash $SRC/tests/kernel/guest.sh
echo $? > $R/run/vortal9-out/status
sync
umount $R/run/vortal9-out
reboot -f
EOF
chmod +x "$ROOTFS/init"
(cd "$ROOTFS" && find . | cpio -o -H newc --quiet > "$INITRD")

# --- qemu: KVM where a guest kernel really runs on it, TCG otherwise --------
QEMU=(qemu-system-x86_64 -m 1G -smp 1 -nographic -no-reboot -nic none
      -kernel "$BOOT_IMAGE" -initrd "$INITRD"
      -virtfs "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap"
      -virtfs "local,path=$OUT,mount_tag=out,security_model=none,multidevs=remap" "${SHARES[@]}")
CMDLINE="console=ttyS0 quiet loglevel=3 panic=-1 vortal9.src=$SRC vortal9.build=$BUILD vortal9.udev=$UDEV"
CMDLINE="$CMDLINE vortal9.soak=$KERNEL_SOAK_PLUGS"
[ -n "$MOUNTS" ] && CMDLINE="$CMDLINE vortal9.mounts=$MOUNTS"
if [ -n "${WIN_BUILD:-}" ]; then
    CMDLINE="$CMDLINE vortal9.winbuild=$(cd "$WIN_BUILD" && pwd) vortal9.wineprefix=$(cd "${WINE_PREFIX:?WINE_PREFIX with WIN_BUILD}" && pwd)"
fi
[ -n "$ONLY" ] && CMDLINE="$CMDLINE vortal9.only=$(echo $ONLY | tr ' ' ,)"

QEMU_PID=
cleanup() {
    if [ -n "$QEMU_PID" ] && kill -0 "$QEMU_PID" 2>/dev/null; then
        kill "$QEMU_PID" 2>/dev/null || true
        sleep 1
        kill -9 "$QEMU_PID" 2>/dev/null || true
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

ACCEL=${KERNEL_ACCEL:-}
if [ -z "$ACCEL" ]; then
    ACCEL=tcg
    if [ -r /dev/kvm ] && [ -w /dev/kvm ]; then
        if timeout 40 "${QEMU[@]}" -accel kvm -cpu host -append "console=ttyS0 quiet vortal9.probe=1" \
                </dev/null 2>&1 | grep -q VORTAL9-PROBE-OK; then
            ACCEL=kvm
        fi
    fi
fi
# Without SMAP under TCG: qemu 7.2 faults on the user iretq of every Wine
# process with it (the guest kernel then kills the process). KERNEL_TCG_CPU
# names another CPU model for TCG (to try one).
TCG_CPU=${KERNEL_TCG_CPU:-max,-smap}
if [ "$ACCEL" = kvm ]; then QEMU+=(-accel kvm -cpu host); else QEMU+=(-accel tcg -cpu "$TCG_CPU"); fi
say "booting $KVER ($(basename "$BOOT_IMAGE"), $ACCEL)"

# The guest's console goes to console.log; check lines are shown as they come.
boot_at=$(date +%s.%N)
timeout -k 5 "$KERNEL_TIMEOUT" "${QEMU[@]}" -append "$CMDLINE" </dev/null >"$WORK/console.log" 2>&1 &
QEMU_PID=$!
tail -n +1 -f --pid=$QEMU_PID "$WORK/console.log" 2>/dev/null |
    sed -u 's/\r$//' | grep --line-buffered -E '^(ok|FAIL|skip|guest:) ' || true
wait $QEMU_PID && qemu_status=0 || qemu_status=$?
QEMU_PID=
ended=$(date +%s.%N)

# A screenshot the window's check made.
if [ -s "$OUT/kernel-window.png" ]; then cp "$OUT/kernel-window.png" "$SRC/docs/kernel-window.png"; fi
if [ -s "$OUT/wine-window.png" ]; then cp "$OUT/wine-window.png" "$SRC/docs/wine-window.png"; fi

oks=$(grep -c '^ok ' "$OUT/results" 2>/dev/null || true)
fails=$(grep -c '^FAIL ' "$OUT/results" 2>/dev/null || true)
skips=$(grep -c '^skip ' "$OUT/results" 2>/dev/null || true)
boot=$(sed -n 's/^boot //p' "$OUT/times" 2>/dev/null || echo "?")
printf 'kernel-test: %s ok, %s failed, %s skipped; boot %s s, whole run %.1f s (fetch and initramfs %.1f s)\n' \
    "${oks:-0}" "${fails:-0}" "${skips:-0}" "$boot" \
    "$(awk "BEGIN { print $ended - $boot_at }")" "$(awk "BEGIN { print $boot_at - $started }")"
if [ "$qemu_status" = 124 ] || [ "$qemu_status" = 137 ]; then
    say "the virtual machine did not finish within $KERNEL_TIMEOUT s (console: $WORK/console.log)"
    exit 1
fi
status=$(cat "$OUT/status" 2>/dev/null || echo none)
if [ "$status" != 0 ] || [ "${fails:-0}" != 0 ] || [ "${oks:-0}" = 0 ]; then
    say "failed (guest status $status; console: $WORK/console.log)"
    exit 1
fi
