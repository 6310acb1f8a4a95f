#!/bin/bash
# More readers than the kernel has hidraw nodes for (it gives them to at most
# 64 HID devices): the readers left without a node must be named by `list`,
# not silently left out.
#
# Env: BUILD, UHID, SCRATCH (see guest.sh).
set -u
BATCH=$BUILD/bin/vortal9-batch
status=0
fail() { echo "FAIL $1: $2"; status=1; }
. "$(dirname "$0")/8-uhid-readers.sh"

if start_readers 66 X; then
    missing=
    for r in "${READERS[@]}"; do
        [ "${r##* }" = - ] && missing="$missing${missing:+$'\n'}${r% *}"
    done
    if [ -z "$missing" ]; then
        echo "skip many-readers-no-node: all 66 readers got a hidraw node (the kernel's limit is 64)"
    else
        note "66 readers made, $(wc -l <<<"$missing") without a hidraw node"
        "$BATCH" list >"$SCRATCH/list-66.out" 2>&1
        note "list ended"
        unnamed=
        while read -r device serial; do
            grep -qF -e "$serial" -e "$device" "$SCRATCH/list-66.out" || unnamed="$unnamed $serial"
        done <<<"$missing"
        if [ -n "$unnamed" ]; then
            fail many-readers-no-node "$(wc -l <<<"$missing") readers have no hidraw node; list names none of:$unnamed"
        else
            echo "ok many-readers-no-node: list names the $(wc -l <<<"$missing") readers left without a hidraw node"
        fi
    fi
else
    fail many-readers-no-node "66 uhid readers did not appear"
fi
stop_readers

exit $status
