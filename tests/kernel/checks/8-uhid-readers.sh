# Shell functions for the checks 80 and 82 (sourced; not a check itself):
# readers made by one vortal9-uhid-reader (each served on a thread of its
# own, as each real reader types on its own), found through sysfs.
# Needs UHID and SCRATCH (see guest.sh); CHAR_MS, when set, is the readers'
# typing pace (ms per character; default the emulator's).

# Seconds since boot, without starting a process (under TCG that costs a
# good part of a second's tenth).
now() { local up rest; read -r up rest </proc/uptime; echo "$up"; }
note() { echo "# $(now) s: $*"; }

# READERS: the HID devices of readers whose serial starts with $1, each
# "DEVICE SERIAL NODE" (NODE "-" when the kernel gave it no hidraw node).
# Shell builtins only: under TCG every process started costs a good part of
# a second, and this runs in a loop over 66 devices. (No process
# substitution either: the guest has no /dev/fd.)
READERS=()
find_readers() {
    local d key value serial nodes
    READERS=()
    for d in /sys/bus/hid/devices/0003:04B4:210A.*; do
        [ -e "$d/uevent" ] || continue
        serial=
        while IFS='=' read -r key value; do
            [ "$key" = HID_UNIQ ] && serial=$value
        done <"$d/uevent"
        case $serial in "$1"*) ;; *) continue ;; esac
        nodes=("$d"/hidraw/hidraw*)
        [ -e "${nodes[0]}" ] || nodes=(-)
        READERS+=("${d##*/} $serial ${nodes[0]##*/}")
    done
}

# Starts N readers with serials PREFIX001...; waits until the kernel has made
# all of them (those with a node have their event node too) and udev is done.
UPID=
start_readers() { # N PREFIX
    local n=$1 prefix=$2 out=$SCRATCH/uhid-$2.out i
    "$UHID" --readers "$n" --serial-prefix "$prefix" ${CHAR_MS:+--char-interval-ms "$CHAR_MS"} --log "$SCRATCH/uhid-$prefix.log" \
        --settings-out "$SCRATCH/settings-$prefix.json" >"$out" 2>&1 &
    UPID=$!
    for i in $(seq 600); do
        find_readers "$prefix"
        [ "${#READERS[@]}" -ge "$n" ] && break
        kill -0 "$UPID" 2>/dev/null || { cat "$out"; return 1; }
        sleep 0.2
    done
    udevadm settle --timeout=30
    note "started $n readers $prefix"
    find_readers "$prefix"
    [ "${#READERS[@]}" -ge "$n" ]
}

# Ends the reader program (it destroys its devices, then writes the settings).
stop_readers() {
    [ -n "$UPID" ] || return 0
    kill -TERM "$UPID" 2>/dev/null
    wait "$UPID" 2>/dev/null
    UPID=
    udevadm settle --timeout=30
    note "stopped the readers"
}
trap stop_readers EXIT


# The guest's CPU counters: "BUSY TOTAL" in clock ticks since boot.
cpu_ticks() {
    local label user nice system idle iowait rest
    read -r label user nice system idle iowait rest </proc/stat
    echo "$((user + nice + system)) $((user + nice + system + idle + iowait))"
}

# CPU seconds (user + system) the reader program has used so far.
uhid_cpu() {
    local f
    read -ra f <"/proc/$UPID/stat" 2>/dev/null || { echo "?"; return; }
    awk -v t=$((f[13] + f[14])) 'BEGIN { printf "%.1f", t / 100 }'
}
