# Helpers for the real-kernel checks (sourced by tests/kernel/checks/*.sh,
# inside the virtual machine only).
BATCH=$BUILD/bin/vortal9-batch
WINDOW=$BUILD/bin/vortal9-setup
CHECK=$(basename "$0" .sh)
failed=0

ok() { echo "ok $CHECK-$1"; }
fail() { echo "FAIL $CHECK-$1: $2"; failed=1; }
skip() { echo "skip $CHECK-$1: $2"; }
# expect NAME WHY COMMAND...: ok when the command succeeds, FAIL otherwise.
expect() {
    local name=$1 why=$2
    shift 2
    if "$@"; then ok "$name"; else fail "$name" "$why"; fi
}
finish() { exit $failed; }

now() { cut -d' ' -f1 /proc/uptime; }
# elapsed SINCE: seconds from SINCE (a now) until now.
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }'; }

# Readers PREFIX [ARG...]: starts the uhid reader program with ARGs, its log
# in PREFIX.log and its settings (at exit) in PREFIX.settings.json; waits
# for its devices and for udev to have handled them. Sets READERS_PID.
readers() {
    local prefix=$1
    shift
    "$UHID" --log "$prefix.log" --settings-out "$prefix.settings.json" "$@" >"$prefix.out" 2>"$prefix.err" &
    READERS_PID=$!
    local i
    for i in $(seq 150); do
        grep -q '^ready' "$prefix.out" 2>/dev/null && break
        kill -0 $READERS_PID 2>/dev/null || { cat "$prefix.err"; return 1; }
        sleep 0.2
    done
    grep -q '^ready' "$prefix.out" || return 1
    udevadm settle --timeout=20
}
# stop_readers: ends the uhid reader program (it then writes its settings).
stop_readers() {
    [ -n "${READERS_PID:-}" ] || return 0
    kill -TERM "$READERS_PID" 2>/dev/null
    wait "$READERS_PID" 2>/dev/null
    READERS_PID=
}

# hidraw_of SERIAL: the reader's hidraw node, found in sysfs by its uniq
# (uhid has no USB parent: the HID device's uevent carries HID_UNIQ).
hidraw_of() {
    local dev
    for dev in /sys/class/hidraw/hidraw*; do
        if grep -qx "HID_UNIQ=$1" "$dev/device/uevent" 2>/dev/null; then
            echo "/dev/$(basename "$dev")"
            return 0
        fi
    done
    return 1
}
# events_of HIDRAW: the input event nodes of the HID device behind HIDRAW.
events_of() {
    local dir
    dir=$(readlink -f "/sys/class/hidraw/$(basename "$1")/device")
    for e in "$dir"/input/input*/event*; do [ -e "$e" ] && echo "/dev/input/$(basename "$e")"; done
}

# fleet FILE ENTRY...: writes a fleet file for --fleet.
fleet() {
    local file=$1
    shift
    local IFS=,
    printf '{ "readers": [ %s ] }\n' "$*" > "$file"
}

# As a plain user (uid/gid 991, no other groups) or the station's group.
as_user() { setpriv --reuid=991 --regid=991 --clear-groups -- "$@"; }
as_station() { setpriv --reuid=992 --regid=992 --groups=990 -- "$@"; }

# The script most checks play, as the window records one (a wait for the
# answer after every key): the preamble "ab", beep toggled, the next
# terminator, save and exit.
SCRIPT_TEXT=141109F009F011F014FF16F016FF1CF01CFF32F032FF5AF05AFF2EF02EFF26F026FF3EF03EFF
script() { printf '%s\r\n' "$SCRIPT_TEXT" > "$1"; }
# The same preamble typed without waits between its keys: after those two
# breaks playback pauses 1200 ms instead of waiting for an answer.
PACED_TEXT=141109F009F011F014FF16F016FF1CF01C32F0325AF05AFF2EF02EFF26F026FF3EF03EFF

# keys_left LOG SERIAL: the keys that the feature reports in the uhid
# reader's LOG (answered or not: a report whose wait failed may have been
# taken all the same) leave down on the reader SERIAL, as breaks ("F016");
# "none" when every make was released.
keys_left() {
    python3 - "$1" "$2" <<'PY'
import json, sys
down, extended, release = [], False, False
reports = [e for e in map(json.loads, open(sys.argv[1]))
           if e.get("device") == sys.argv[2] and e.get("event") == "set_report" and "n" in e]
for e in sorted(reports, key=lambda e: e["n"]):
    for byte in bytes.fromhex(e["data"])[1:]:
        if byte == 0:
            continue
        if byte in (0xE0, 0xF0):
            extended, release = extended or byte == 0xE0, release or byte == 0xF0
            continue
        key = (extended, byte)
        if key in down:
            down.remove(key)
        if not release:
            down.append(key)
        extended = release = False
print(" ".join(("F0E0%02X" if x else "F0%02X") % c for x, c in reversed(down)) or "none")
PY
}
