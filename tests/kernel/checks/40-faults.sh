#!/bin/bash
# Readers that misbehave on the kernel's own terms: one that never answers a
# report (the kernel gives up after 5 s), one unplugged mid-script, while a
# third finishes; Ctrl+C and SIGTERM while a report waits for its answer. A
# report whose wait failed may have reached the reader: every key its make
# pressed is released afterwards (the reader's log of reports shows it).
source "$SRC/tests/kernel/lib.sh"
PROBE="python3 $SRC/tests/kernel/evdev-probe.py"
script s.txt
report_at() { # LOG SERIAL N: the monotonic time (s) of the device's report N
    jq -r --arg d "$2" --argjson n "$3" 'select(.device == $d and .event == "set_report" and .n == $n) | .t_us / 1e6' "$1"
}

# Three at once: each ends as it should, and the good one is configured.
fleet f.json '{ "serial": "MUTE", "noAnswerAt": 3 }' '{ "serial": "GOOD" }' '{ "serial": "GONE", "unplugAt": 4 }'
readers r --fleet f.json || { fail start "the uhid readers did not start: $(cat r.err)"; finish; }
MUTE=$(hidraw_of MUTE) GOOD=$(hidraw_of GOOD) GONE=$(hidraw_of GONE)
GOOD_EVENTS=$(events_of "$GOOD")
began=$(now)
timeout 120 "$BATCH" apply s.txt --reader "$MUTE" --reader "$GOOD" --reader "$GONE" --json > all.json; status=$?
took=$(elapsed "$began")
cat all.json
result() { jq -r --arg s "$1" 'select(.serial == $s) | .result' all.json; }
expect together "three readers: exit $status after $took s; MUTE $(result MUTE), GOOD $(result GOOD), GONE $(result GONE)" \
    eval "[ $status = 1 ] && [ \"\$(result GOOD)\" = configured ] && [ \"\$(result GONE)\" = unplugged ] \
          && { [ \"\$(result MUTE)\" = 'write error' ] || [ \"\$(result MUTE)\" = 'reader not responding' ]; }"
down=0
for ev in $GOOD_EVENTS; do down=$((down + $($PROBE held "$ev"))); done
expect no-key-held "keys down on the reader that finished: $down" test "$down" = 0
stop_readers

# Each alone, timed from the kernel's side: the report never answered (the
# kernel's time-out is 5 s), the unplug (at once).
fleet g.json '{ "serial": "MUTE2", "noAnswerAt": 3 }' '{ "serial": "GONE2", "unplugAt": 4 }'
readers t --fleet g.json || { fail start "the uhid readers did not start: $(cat t.err)"; finish; }
MUTE2=$(hidraw_of MUTE2) GONE2=$(hidraw_of GONE2)
timeout 60 "$BATCH" apply s.txt --reader "$MUTE2" --json > mute.json; status=$?
ended=$(now)
after=$(awk -v a="$(report_at t.log MUTE2 3)" -v b="$ended" 'BEGIN { printf "%.2f", b - a }')
cat mute.json
expect no-answer "a report never answered: $(jq -r .result mute.json), exit $status, $after s after it was sent" \
    eval "[ $status = 1 ] && awk -v t=$after 'BEGIN { exit !(t >= 4.5 && t <= 8) }' \
          && { [ \"\$(jq -r .result mute.json)\" = 'write error' ] || [ \"\$(jq -r .result mute.json)\" = 'reader not responding' ]; }"
left=$(keys_left t.log MUTE2)
expect no-answer-released "keys left down after the make that timed out: $left" test "$left" = none
timeout 60 "$BATCH" apply s.txt --reader "$GONE2" --json > gone.json; status=$?
ended=$(now)
gone_at=$(jq -r 'select(.device == "GONE2" and .event == "destroy") | .t_us / 1e6' t.log | head -1)
[ -n "$gone_at" ] || gone_at=$(report_at t.log GONE2 4)
after=$(awk -v a="$gone_at" -v b="$ended" 'BEGIN { printf "%.2f", b - a }')
cat gone.json
expect unplug "a reader unplugged mid-script: $(jq -r .result gone.json), exit $status, $after s after the unplug" \
    eval "[ $status = 1 ] && [ \"\$(jq -r .result gone.json)\" = unplugged ] && awk -v t=$after 'BEGIN { exit !(t <= 2) }'"
stop_readers

# Ctrl+C while a report waits for its answer (uhid ends the interrupted
# wait with EIO): "interrupted", exit 130, within a second.
fleet h.json '{ "serial": "WAIT", "noAnswerAt": 2 }'
readers w --fleet h.json || { fail start "the uhid reader did not start: $(cat w.err)"; finish; }
WAIT=$(hidraw_of WAIT)
"$BATCH" apply s.txt --reader "$WAIT" --json > int.json &
pid=$!
for i in $(seq 100); do [ -n "$(report_at w.log WAIT 2)" ] && break; sleep 0.1; done
sleep 0.5
sent=$(now)
kill -INT $pid
wait $pid; status=$?
took=$(elapsed "$sent")
cat int.json
expect ctrl-c "Ctrl+C during a report's wait: $(jq -r .result int.json), exit $status, after $took s" \
    eval "[ $status = 130 ] && [ \"\$(jq -r .result int.json)\" = interrupted ] && awk -v t=$took 'BEGIN { exit !(t <= 2) }'"
stop_readers
left=$(keys_left w.log WAIT)
expect ctrl-c-released "keys left down after Ctrl+C during the hot key's break: $left" test "$left" = none

# The same while a make waits: the hot key's (Ctrl, Alt, F10) at Ctrl+C, a
# menu key's at SIGTERM. The report given up on counts as taken: its keys
# are released before the reader is let go.
fleet m.json '{ "serial": "HOTKEY", "noAnswerAt": 1 }' '{ "serial": "MENUKEY", "noAnswerAt": 3 }'
readers m --fleet m.json || { fail start "the uhid readers did not start: $(cat m.err)"; finish; }
for entry in HOTKEY:1:INT MENUKEY:3:TERM; do
    IFS=: read -r serial n signal <<<"$entry"
    "$BATCH" apply s.txt --reader "$(hidraw_of "$serial")" --json > "$serial.json" &
    pid=$!
    for i in $(seq 100); do [ -n "$(report_at m.log "$serial" "$n")" ] && break; sleep 0.1; done
    sleep 0.5
    kill -"$signal" $pid
    wait $pid; status=$?
    cat "$serial.json"
    left=$(keys_left m.log "$serial")
    expect "$signal-during-make" "SIG$signal while report $n (a make) waits: $(jq -r .result "$serial.json"), exit $status; keys left down: $left" \
        eval "[ $status = 130 ] && [ \"\$(jq -r .result $serial.json)\" = interrupted ] && [ '$left' = none ]"
done
stop_readers
finish
