#!/bin/bash
# Many readers at once: one script applied by `vortal9-batch apply --all
# --expect` to 1, 8, 32 and 64 uhid readers (one vortal9-uhid-reader, each
# reader on a thread of its own), each ending with the settings the script
# gives, with every reader's reports paced (300 ms apart, 1200 ms after a
# break that no wait follows) and no key dropped; the wall time against one
# reader's (at most 1.05 x at 8, 1.15 x at 32, 1.25 x at 64) and the last
# reader's first report within 1.5 s of the start at 64. Each round tells
# where its time went (tests/kernel/readers-timing.py, from the readers'
# log) and how idle the guest's CPU was.
# (More readers than the kernel has hidraw nodes for: 82-no-node.sh.)
#
# Env: BUILD, UHID, SCRATCH, OUT (see guest.sh). MANY_CAP (default 3) bounds
# each run at that many times the one-reader time, so that a slow tool fails
# within the check's time limit instead of running into it; the figure is
# then given as "> MANY_CAP".
# MANY_CHAR_MS sets the readers' typing pace (ms per character; default the
# emulator's 3 ms, faster than a USB keyboard polled every 5 ms or more).
set -u
BATCH=$BUILD/bin/vortal9-batch
CAP=${MANY_CAP:-3}
CHAR_MS=${MANY_CHAR_MS:-}
status=0
fail() { echo "FAIL $1: $2"; status=1; }

# Beep off, next terminator, preamble "Ab" (with Shift), save and exit: the
# benchmark's script, the same that bench_sessions plays to emulated readers.
SCRIPT=$SCRATCH/many.txt
printf '%s\r\n' '141109F009F011F014FF2EF02EFF26F026FF16F016FF121CF01CFFF01232F032FF5AF05AFF3EF03EFF' > "$SCRIPT"
EXPECTED='{"beep":"OFF","postamble":"","preamble":"Ab","terminator":"CRLF","tracks":"123"}'

. "$(dirname "$0")/8-uhid-readers.sh"

# Every reader of the settings file ended with the script's settings.
settings_right() { # PREFIX N
    jq -e --argjson want "$EXPECTED" --argjson n "$2" \
        '[.devices[] | select(.reader)] | length == $n and all(.stored == $want and .working == $want)' \
        "$SCRATCH/settings-$1.json" >/dev/null
}

# --- The reference: the script on one reader, its answers written down -----
REF=$SCRATCH/reference.json
if ! start_readers 1 REF- || ! "$BATCH" apply "$SCRIPT" --reader 1 --transcript "$REF" >"$SCRATCH/ref.out" 2>&1; then
    fail many-readers "the reference transcript on one reader failed: $(tail -3 "$SCRATCH/ref.out" 2>/dev/null)"
    exit 1
fi
stop_readers

# --- 1, 8, 32, 64 readers at once --------------------------------------------
declare -A took first_last
one=
for n in 1 8 32 64; do
    prefix=M$n-
    if ! start_readers "$n" "$prefix"; then
        fail "many-readers-$n" "$n uhid readers did not appear"
        stop_readers
        continue
    fi
    limit=600
    [ -n "$one" ] && limit=$(awk -v t="$one" -v c="$CAP" 'BEGIN { printf "%d", t * c + 5 }')
    note "$n readers ready"
    read -r busy0 total0 <<<"$(cpu_ticks)"
    TIMEFORMAT='%U %S'
    read -r began rest </proc/uptime
    { time timeout "$limit" "$BATCH" apply "$SCRIPT" --all --expect "$REF" >"$SCRATCH/apply-$n.out" 2>&1; } 2>"$SCRATCH/cpu-$n"
    rc=$?
    read -r ended rest </proc/uptime
    read -r busy1 total1 <<<"$(cpu_ticks)"
    # Where the time went: the guest's one CPU idle or busy (the readers'
    # typing under TCG costs much), the tool's and the reader program's CPU
    # time, and the readers' log (the first reports, the playback, the end).
    idle=$(( 100 - 100 * (busy1 - busy0) / (total1 - total0 + 1) ))
    note "apply to $n readers ended ($rc); guest CPU idle $idle %," \
        "vortal9-batch CPU $(awk '{ printf "%.1f", $1 + $2 }' "$SCRATCH/cpu-$n") s, vortal9-uhid-reader CPU $(uhid_cpu) s in all"
    stop_readers
    python3 "$SRC/tests/kernel/readers-timing.py" "$(head -1 "$SCRIPT")" "$SCRATCH/uhid-$prefix.log" "$began" "$ended" \
        >"$SCRATCH/timing-$n.txt" 2>&1
    sed 's/^/# /' "$SCRATCH/timing-$n.txt"
    first_last[$n]=$(sed -n 's/.* first_last=\([0-9.]*\).*/\1/p' "$SCRATCH/timing-$n.txt")
    echo "$n readers: guest CPU idle $idle %; $(sed -n 's/^breakdown: //p' "$SCRATCH/timing-$n.txt")" >>"$SCRATCH/breakdown.txt"
    if [ "$rc" = 124 ]; then
        took[$n]=timeout
        fail "many-readers-$n" "apply to $n readers took more than $CAP x one reader's time ($limit s), stopped"
        continue
    fi
    took[$n]=$(awk -v a="$began" -v b="$ended" 'BEGIN { printf "%.2f", b - a }')
    [ "$n" = 1 ] && one=${took[1]}
    dropped=$(grep -c 'dropped keys' "$SCRATCH/apply-$n.out")
    if [ "$rc" != 0 ]; then
        fail "many-readers-$n" "apply --all --expect exited $rc: $(grep -v ': configured$' "$SCRATCH/apply-$n.out" | head -3 | tr '\n' ' ')"
    elif ! settings_right "$prefix" "$n"; then
        fail "many-readers-$n" "not every reader ended with the script's settings ($SCRATCH/settings-$prefix.json)"
    else
        echo "ok many-readers-$n: $n readers configured in ${took[$n]} s, each with the script's settings"
    fi
    # The kernel dropped a reader's queued keys (SYN_DROPPED): the tool says
    # so ("keys lost: repeat"), but the check wants none.
    if [ "$dropped" != 0 ]; then
        fail "many-readers-$n-keys" "the kernel dropped keys of $dropped event nodes"
    fi
    if ! grep -q '^pacing: fine' "$SCRATCH/timing-$n.txt"; then
        fail "many-readers-$n-pacing" "$(sed -n 's/^pacing: //p' "$SCRATCH/timing-$n.txt")"
    fi
done

# --- The times against one reader's ------------------------------------------
target() { # N: the most N readers may take, in times one reader's
    case $1 in 8) echo 1.05 ;; 32) echo 1.15 ;; *) echo 1.25 ;; esac
}
if [ -n "$one" ]; then
    row=
    for n in 8 32 64; do
        if [ "${took[$n]:-}" = timeout ]; then
            ratio="> $CAP"
        elif [ -n "${took[$n]:-}" ]; then
            ratio=$(awk -v t="${took[$n]}" -v o="$one" 'BEGIN { printf "%.3f", t / o }')
        else
            ratio=-
        fi
        row="$row${row:+ / }$ratio"
        if awk -v r="${ratio#> }" -v cap="${ratio%%[0-9]*}" -v most="$(target "$n")" \
            'BEGIN { exit !(cap == "" && r + 0 > 0 && r <= most) }'; then
            echo "ok many-readers-time-$n: $n readers $ratio x one reader's time (at most $(target "$n"))"
        else
            fail "many-readers-time-$n" "$n readers take $ratio x one reader's time, more than $(target "$n")"
        fi
    done
    line="| the same script applied by \`vortal9-batch apply --all --expect\` to 8 / 32 / 64 uhid readers at once in the virtual machine, wall time / one reader alone | $row (one reader $one s) |"
    echo "$line" > "$OUT/many-readers.md"
    cp "$SCRATCH/breakdown.txt" "$OUT/many-readers-breakdown.txt"
    echo "many-readers table: $line"
    sed 's/^/many-readers breakdown: /' "$SCRATCH/breakdown.txt"
fi
# The last reader's first report, which waits for every reader's opening.
if awk -v t="${first_last[64]:-}" 'BEGIN { exit !(t != "" && t <= 1.5) }'; then
    echo "ok many-readers-first-report: the last of 64 readers got its first report ${first_last[64]} s after the start"
else
    fail many-readers-first-report "the last of 64 readers got its first report ${first_last[64]:-never} s after the start, more than 1.5 s"
fi
exit $status
