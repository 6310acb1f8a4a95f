#!/bin/bash
# Hotplug through udevd and typing heard on real event nodes: watch
# configures a reader made after it started; identify names the reader that
# typed; swipe-test shows each swipe's shape, and no digit of the card is in
# anything the tool wrote.
source "$SRC/tests/kernel/lib.sh"
script s.txt
CARD=4731829460571938 # the emulated reader's test card (its number)

# watch, started with no reader attached.
mkdir -p home
export HOME=$SCRATCH/home XDG_CACHE_HOME=$SCRATCH/home/.cache XDG_CONFIG_HOME=$SCRATCH/home/.config
"$BATCH" watch s.txt --json > watch.json 2> watch.err &
watch=$!
sleep 3
fleet f.json '{ "serial": "HOT", "settings": { "beep": "ON" } }'
readers r --fleet f.json || { fail start "the uhid reader did not start: $(cat r.err)"; finish; }
for i in $(seq 120); do grep -q '"HOT"' watch.json && break; sleep 0.5; done
kill -TERM $watch; wait $watch; status=$?
cat watch.json watch.err
stop_readers
expect watch "watch: a reader plugged in after it started is $(jq -r 'select(.serial == "HOT") | .result' watch.json) (exit $status)" \
    eval "[ \"\$(jq -r 'select(.serial == \"HOT\") | .result' watch.json)\" = configured ] \
          && [ \"\$(jq -r '.devices[0].stored.preamble' r.settings.json)\" = ab ]"

# identify: the reader that swipes is named, the other is not.
fleet g.json '{ "serial": "QUIET" }' '{ "serial": "TYPIST", "swipes": [ { "atMs": 9000 } ] }'
readers i --fleet g.json || { fail start "the uhid readers did not start: $(cat i.err)"; finish; }
"$BATCH" identify --json > identify.json 2> identify.err &
pid=$!
for i in $(seq 100); do grep -q '"typed"' identify.json && break; sleep 0.2; done
sleep 1
kill -INT $pid; wait $pid; status=$?
cat identify.json identify.err
stop_readers
expect identify "identify names TYPIST only (exit $status): $(jq -r 'select(.event == "typed") | .serial' identify.json | tr '\n' ' ')" \
    eval "[ $status = 0 ] && [ \"\$(jq -r 'select(.event == \"typed\") | .serial' identify.json | sort -u)\" = TYPIST ]"

# swipe-test: two readers alike, one with another preamble and terminator.
fleet h.json '{ "serial": "SW1", "swipes": [ { "atMs": 9000 } ] }' \
    '{ "serial": "SW2", "swipes": [ { "atMs": 9500 } ] }' \
    '{ "serial": "SW3", "settings": { "preamble": "#", "terminator": "TAB" }, "swipes": [ { "atMs": 10000 } ] }'
readers s --fleet h.json || { fail start "the uhid readers did not start: $(cat s.err)"; finish; }
timeout 90 "$BATCH" swipe-test --all --json > swipe.json 2> swipe.err; status=$?
stop_readers
# The same in text, with swipes of their own.
readers t --fleet h.json || { fail start "the uhid readers did not start: $(cat t.err)"; finish; }
timeout 90 "$BATCH" swipe-test --all > swipe.txt 2>> swipe.err
stop_readers
cat swipe.json swipe.err swipe.txt
shape() { jq -r --arg s "$1" 'select(.serial == $s) | "\(.result) \(.shape.shape)"' swipe.json; }
expect swipe-test "swipe-test (exit $status): SW1 $(shape SW1); SW3 $(shape SW3)" \
    eval "[ $status = 5 ] && [ \"\$(shape SW1 | cut -d' ' -f1)\" = alike ] && [ \"\$(shape SW2 | cut -d' ' -f1)\" = alike ] \
          && [ \"\$(shape SW3 | cut -d' ' -f1)\" = differs ] && shape SW1 | grep -q '%\\['"
# Every file the tool wrote: its outputs and whatever it left in its home.
leaks=$(grep -rl -e "$CARD" -e "${CARD:0:6}" -e "${CARD: -4}" watch.json watch.err identify.json identify.err \
    swipe.json swipe.txt swipe.err home 2>/dev/null | tr '\n' ' ')
expect no-card-data "card digits found in: ${leaks:-nothing}" test -z "$leaks"
finish
