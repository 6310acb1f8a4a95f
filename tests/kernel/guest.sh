#!/bin/bash
# The real-kernel checks, run by the initramfs inside the virtual machine in
# a chroot of the host's root (read-only) with the guest's own /proc, /sys,
# /dev, /run and /tmp. Starts udevd with our rules (in the guest's /run,
# never the host's), then runs each tests/kernel/checks/NN-name.sh in order.
#
# Each check gets BUILD (the build folder), UHID (the uhid reader program),
# SCRATCH (an empty folder in the guest's tmpfs), OUT (the folder shared back
# to the host), SRC (the source tree), UDEV (the unpacked udev package),
# SOAK_PLUGS (how many readers the soak check plugs in), and prints "ok NAME", "FAIL NAME: why" or "skip NAME: why" lines; a check that
# exits non-zero without a FAIL line is counted as one.
set -u
export SRC BUILD OUT UDEV WIN_BUILD WINE_PREFIX
export SOAK_PLUGS=${SOAK_PLUGS:-500}
export UHID=$BUILD/bin/vortal9-uhid-reader
export SYSTEMD_IGNORE_CHROOT=1
export PATH=/run/vortal9-bin:$PATH
export TZ=UTC
RESULTS=$OUT/results
: > "$RESULTS"
echo "boot $(cut -d' ' -f1 /proc/uptime)" > "$OUT/times"
echo; echo "guest: booted in $(cut -d' ' -f1 /proc/uptime) s (kernel $(uname -r))"

# udev from the unpacked package: its rules and ours in /run/udev/rules.d.
mkdir -p /run/vortal9-bin /run/udev/rules.d
ln -sf "$UDEV/bin/udevadm" /run/vortal9-bin/udevadm
ln -sf "$UDEV/bin/udevadm" /run/vortal9-bin/systemd-udevd
cp "$UDEV"/lib/udev/rules.d/*.rules /run/udev/rules.d/
cp "$SRC/udev/70-vortal9.rules" "$SRC/packaging/station/70-vortal9-station.rules" /run/udev/rules.d/
systemd-udevd --daemon >"$OUT/udevd.log" 2>&1
udevadm control --reload
udevadm trigger --action=add --subsystem-match=hidraw --subsystem-match=input >/dev/null 2>&1
udevadm settle --timeout=20
echo "guest: udev ready at $(cut -d' ' -f1 /proc/uptime) s"

result() { # the lines a check printed that are results
    grep -E '^(ok|FAIL|skip) ' "$1" || true
}

status=0
# With a Windows build (WIN_BUILD), the Wine checks after the others.
checks=("$SRC"/tests/kernel/checks/[0-9][0-9]-*.sh)
[ -n "${WIN_BUILD:-}" ] && checks+=("$SRC"/tests/kernel/wine/[0-9][0-9]-*.sh)
for check in "${checks[@]}"; do
    name=$(basename "$check" .sh)
    if [ -n "${ONLY:-}" ] && ! grep -qw -- "$name" <<<"$ONLY"; then continue; fi
    export SCRATCH=/tmp/scratch/$name
    rm -rf "$SCRATCH" && mkdir -p "$SCRATCH" && chmod 1777 "$SCRATCH"
    log=$OUT/$name.log
    began=$(cut -d' ' -f1 /proc/uptime)
    # Each check in a process group of its own, killed after it, so that
    # nothing a check started outlives it; within 300 s (Windows programs
    # under Wine: 1200 s, they take longer in the emulated CPU), or the time a
    # line "# time limit: SECONDS" of the check gives (shell arithmetic, which
    # may use SOAK_PLUGS).
    limit=300
    case $check in */wine/*) limit=1200 ;; esac
    given=$(sed -n 's/^# time limit: //p' "$check" | head -1)
    limit=$(( ${given:-$limit} ))
    (cd "$SCRATCH" && exec setsid timeout -k 5 "$limit" bash "$check") >"$log" 2>&1 </dev/null &
    pid=$!
    wait $pid
    rc=$?
    kill -9 -- -$pid 2>/dev/null
    # What the check left (its tools' outputs, the readers' logs) for a look
    # from the host: build/kernel-test/out/scratch/NAME.
    mkdir -p "$OUT/scratch" && cp -r "$SCRATCH" "$OUT/scratch/$name" 2>/dev/null
    ended=$(cut -d' ' -f1 /proc/uptime)
    echo "time $name $(awk "BEGIN { print $ended - $began }")" >> "$OUT/times"
    result "$log" | tee -a "$RESULTS"
    if [ "$rc" != 0 ] || grep -q '^FAIL ' "$log"; then
        status=1
        if ! grep -q '^FAIL ' "$log"; then
            echo "FAIL $name: exit status $rc$( [ $rc = 124 ] && echo ' (timed out)'), see $name.log" | tee -a "$RESULTS"
        fi
    fi
    udevadm settle --timeout=10
done
udevadm control --exit 2>/dev/null
echo "guest: done at $(cut -d' ' -f1 /proc/uptime) s"
exit $status
