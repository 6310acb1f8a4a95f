#!/bin/bash
# Capture on a real event node: a program that holds the reader's event node
# open before we start (as a desktop's input stack does) hears the reader's
# swipe, but none of the keys it types while vortal9-batch holds it; a second
# vortal9-batch on the same reader gets "in use" and sends nothing.
source "$SRC/tests/kernel/lib.sh"
PROBE="python3 $SRC/tests/kernel/evdev-probe.py"
script s.txt
fleet f.json '{ "serial": "CAP", "swipes": [ { "atMs": 7000 } ] }'
readers r --fleet f.json || { fail start "the uhid reader did not start: $(cat r.err)"; finish; }
CAP=$(hidraw_of CAP)
EV=$(events_of "$CAP" | head -1)
$PROBE listen "$EV" keys.txt &
for i in $(seq 50); do grep -q open keys.txt 2>/dev/null && break; sleep 0.2; done
# The swipe reaches the listener while nobody holds the reader; wait for its end.
for i in $(seq 100); do
    [ "$(grep -c '^[0-9]' keys.txt)" -gt 0 ] && break
    sleep 0.2
done
count=-1
while [ "$count" != "$(grep -c '^[0-9]' keys.txt)" ]; do count=$(grep -c '^[0-9]' keys.txt); sleep 1; done
expect listener "the listener heard the swipe before the tool held the reader ($count key events)" test "$count" -gt 0

began=$(date +%s.%N)
"$BATCH" apply s.txt --reader "$CAP" --json > first.json &
first=$!
for i in $(seq 100); do grep -q set_report r.log && break; sleep 0.1; done
"$BATCH" apply s.txt --reader "$CAP" --json > second.json; second=$?
"$BATCH" apply s.txt --reader "$CAP" --check --json > check.json; checked=$?
wait $first; status=$?
ended=$(date +%s.%N)
cat first.json second.json check.json
during=$(awk -v a="$began" -v b="$ended" '/^[0-9]/ && $1 >= a && $1 <= b { n++ } END { print n + 0 }' keys.txt)
expect configured "the first apply exits $status" \
    eval "[ $status = 0 ] && [ \"\$(jq -r .result first.json)\" = configured ]"
expect held "the listener got $during key events while the tool held the reader" test "$during" = 0
expect in-use "a second apply on the held reader: exit $second, $(jq -r .result second.json)" \
    eval "[ $second = 1 ] && [ \"\$(jq -r .result second.json)\" = 'in use' ]"
expect check-in-use "apply --check on the held reader: exit $checked, $(jq -r .result check.json)" \
    eval "[ $checked = 1 ] && [ \"\$(jq -r .result check.json)\" = 'in use' ]"
stop_readers
reports=$(jq -s '[.[] | select(.event == "set_report")] | length' r.log)
expect sent-once "the reader received $reports reports, one script's 16" test "$reports" = 16
finish
