#!/bin/bash
# A reader as a real USB device: a configfs gadget with the hid function on
# dummy_hcd (VID/PID 04b4:210a, the reader's report descriptor, USB strings).
# usbhid binds it as it would a reader on a cable, so that `list` shows its
# USB port and strings and the udev rules' USB attribute match applies. The
# gadget's function cannot play the reader's protocol (on 6.1 a set-feature
# reaches it without its report ID, get-feature answers zeros; uhid serves
# that), but a gadget function with an OUT endpoint stalls every
# set-feature: `apply` must end with a clean "write error", not hang.
#
# Env: BUILD, UHID, SCRATCH (see guest.sh).
set -u
BATCH=$BUILD/bin/vortal9-batch
CFG=/sys/kernel/config
status=0
fail() { echo "FAIL $1: $2"; status=1; }
now() { cut -d' ' -f1 /proc/uptime; }

[ -d $CFG/usb_gadget ] || mount -t configfs configfs $CFG 2>/dev/null
if [ ! -d $CFG/usb_gadget ]; then
    echo "skip gadget: no usb_gadget in configfs (libcomposite not loaded)"
    exit 0
fi
UDC=$(ls /sys/class/udc 2>/dev/null | head -1)
if [ -z "$UDC" ]; then
    echo "skip gadget: no USB device controller (dummy_hcd not loaded)"
    exit 0
fi

MANUFACTURER=VORTAL9
PRODUCT="VORTAL9 Card Reader"

G=
# make_gadget NAME SERIAL NO_OUT_ENDPOINT: a reader on the dummy controller.
make_gadget() {
    G=$CFG/usb_gadget/$1
    mkdir "$G" || return 1
    echo 0x04b4 > "$G/idVendor"
    echo 0x210a > "$G/idProduct"
    echo 0x0100 > "$G/bcdDevice"
    echo 0x0200 > "$G/bcdUSB"
    mkdir "$G/strings/0x409"
    echo "$MANUFACTURER" > "$G/strings/0x409/manufacturer"
    echo "$PRODUCT" > "$G/strings/0x409/product"
    echo "$2" > "$G/strings/0x409/serialnumber"
    mkdir -p "$G/configs/c.1/strings/0x409"
    echo reader > "$G/configs/c.1/strings/0x409/configuration"
    local f=$G/functions/hid.usb0
    mkdir "$f"
    echo 1 > "$f/subclass"  # boot interface
    echo 1 > "$f/protocol"  # keyboard
    echo 8 > "$f/report_length"
    "$UHID" --print-descriptor > "$f/report_desc" || return 1
    echo "$3" > "$f/no_out_endpoint" || return 1
    ln -s "$f" "$G/configs/c.1/"
    echo "$UDC" > "$G/UDC"
}

remove_gadget() {
    [ -n "$G" ] && [ -d "$G" ] || return 0
    echo "" > "$G/UDC" 2>/dev/null
    rm -f "$G/configs/c.1/hid.usb0"
    rmdir "$G/configs/c.1/strings/0x409" "$G/configs/c.1" "$G/functions/hid.usb0" "$G/strings/0x409" "$G"
    G=
    udevadm settle --timeout=10
}
trap remove_gadget EXIT

# The gadget's HID device as the host sees it: waits for its hidraw node,
# prints "/dev/hidrawN /dev/input/eventM USBPORT".
host_side() {
    local i d hid node event
    for i in $(seq 100); do
        for d in /sys/bus/usb/devices/*; do
            [ "$(cat "$d/idVendor" 2>/dev/null):$(cat "$d/idProduct" 2>/dev/null)" = 04b4:210a ] || continue
            for hid in "$d"/*:*/0003:04B4:210A.*; do
                node=$(ls "$hid/hidraw" 2>/dev/null | head -1)
                event=$(ls -d "$hid"/input/input*/event* 2>/dev/null | head -1)
                if [ -n "$node" ] && [ -n "$event" ]; then
                    udevadm settle --timeout=10
                    echo "/dev/$node /dev/input/$(basename "$event") $(basename "$d")"
                    return 0
                fi
            done
        done
        sleep 0.1
    done
    return 1
}

# --- Enumeration, strings, the rules' USB attribute match -------------------
if ! make_gadget v9reader GADGET-0001 1; then
    fail gadget "the configfs gadget could not be made"
    exit 1
fi
# (No process substitution: the guest's /dev has no /dev/fd.)
found=$(host_side)
read -r NODE EVENT PORT <<<"$found"
if [ -z "$found" ]; then
    fail gadget "the gadget did not appear as a USB HID device with a hidraw and an event node"
    ls /sys/bus/usb/devices/ /sys/class/udc; cat "$G/UDC" /sys/class/udc/*/state; dmesg | tail -20
    exit 1
fi
echo "gadget: $PORT $NODE $EVENT"

"$BATCH" list --json >"$SCRATCH/list.json" 2>"$SCRATCH/list.err"
if jq -e --arg node "$NODE" --arg port "$PORT" --arg m "$MANUFACTURER" \
        'select(.hidraw == $node) | .usb == $port and .manufacturer == $m and .serial == "GADGET-0001"' \
        "$SCRATCH/list.json" >/dev/null 2>&1; then
    echo "ok gadget-list: $NODE at USB port $PORT, \"$MANUFACTURER\", serial GADGET-0001"
else
    fail gadget-list "list does not show $NODE with USB port $PORT, \"$MANUFACTURER\" and GADGET-0001: $(tr '\n' ' ' <"$SCRATCH/list.json")"
fi

# Each node: the station rule's group and mode, the desktop rule's tag.
for node in "$NODE" "$EVENT"; do
    info=$(udevadm info --query=all --name="$node" 2>&1)
    got="$(stat -c '%G %a' "$node") $(sed -n 's/^E: TAGS=//p' <<<"$info")"
    case $got in
        "vortal9 660 "*:uaccess:*) echo "ok gadget-rules-$(basename "$node"): $got" ;;
        *) fail "gadget-rules-$(basename "$node")" "group, mode and tags are \"$got\", not vortal9 660 with uaccess" ;;
    esac
done
remove_gadget

# --- A set-feature the device stalls: a clean "write error" -----------------
# The hot key, then "9" (leave without saving).
printf '%s\r\n' '141109F009F011F014FF46F046FF' > "$SCRATCH/hotkey.txt"
found=
make_gadget v9stall GADGET-0002 0 && found=$(host_side)
read -r NODE EVENT PORT <<<"$found"
if [ -n "$found" ]; then
    began=$(now)
    timeout 60 "$BATCH" apply "$SCRATCH/hotkey.txt" --reader "$NODE" >"$SCRATCH/stall.out" 2>&1
    rc=$?
    took=$(awk -v a="$began" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }')
    if [ "$rc" = 124 ]; then
        fail gadget-stall "apply on a reader that stalls every report was still running after 60 s"
    elif [ "$rc" != 0 ] && grep -qi "write error" "$SCRATCH/stall.out"; then
        echo "ok gadget-stall: \"write error\" after $took s (exit $rc)"
    else
        fail gadget-stall "apply exited $rc after $took s without \"write error\": $(tail -3 "$SCRATCH/stall.out" | tr '\n' ' ')"
    fi
else
    fail gadget-stall "the gadget with an OUT endpoint did not appear"
fi
exit $status
