#!/bin/bash
# The window on a real X server (Xvfb) in the guest, with two uhid readers:
# "Check Device" counts them (its count drawn as the demo, on two emulated
# readers, draws it), "Enter Config" shows the menu the reader typed in the
# receive box, a click on an on-screen key reaches the reader as its scan
# codes; a screenshot goes to OUT/kernel-window.png.
source "$SRC/tests/kernel/lib.sh"
export HOME=$SCRATCH XDG_RUNTIME_DIR=$SCRATCH/run QT_QPA_PLATFORM=xcb DISPLAY=:7
mkdir -m 700 -p "$XDG_RUNTIME_DIR"
Xvfb :7 -screen 0 1024x768x24 -nolisten tcp > xvfb.log 2>&1 &
xvfb=$!
for i in $(seq 100); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.2; done

# Window positions in pixels (the design's twips / 15; no window manager,
# so the client area starts at the screen's origin).
CHECK_DEVICE="320 24" ENTER_CONFIG="320 64" COUNT=57x25+192+40 RECEIVE=486x191+9+169
KEY_5="192 388" # on-screen key 5: frame 120,5400 + key 120+480*5,240 (twips)
window() { xdotool search --sync --onlyvisible --name '^VORTAL9 Configuration Setup' 2>/dev/null | head -1; }
click() { xdotool mousemove $1 $2 click 1; }
crop() { import -window root -crop "$1" +repage "$2"; }
ink() { import -window root -crop "$RECEIVE" +repage -format '%[fx:int(100000*(1-mean))]' info:; }

# The reference: the demo's count, "[ 2 ]".
"$BUILD/bin/vortal9-setup-demo" > demo.log 2>&1 &
demo=$!
timeout 60 bash -c "$(declare -f window); window" > /dev/null
sleep 2
click $CHECK_DEVICE
sleep 2
crop $COUNT demo-count.png
kill $demo; wait $demo

readers r --readers 2 || { fail start "the uhid readers did not start: $(cat r.err)"; kill $xvfb; finish; }
"$WINDOW" > window.log 2>&1 &
win=$!
id=$(timeout 60 bash -c "$(declare -f window); window")
sleep 2
click $CHECK_DEVICE
sleep 3
crop $COUNT count.png
differ=$(compare -metric AE demo-count.png count.png null: 2>&1)
expect check-device "the count after Check Device drawn as the demo's [ 2 ] ($differ pixels differ)" test "$differ" = 0

before=$(ink)
click $ENTER_CONFIG
for i in $(seq 60); do
    [ "$(jq -s '[.[] | select(.event == "set_report")] | length' r.log)" -ge 2 ] && break
    sleep 0.5
done
sleep 6 # the menu typed, then the quiet period that enables the keys
after=$(ink)
hotkey=$(jq -r 'select(.event == "set_report") | .data' r.log | head -2 | tr '\n' ' ')
expect enter-config "Enter Config: the reader got the hot key ($hotkey), the receive box's ink $before -> $after" \
    eval "[ \"\${hotkey:0:8}\" = 00141109 ] && [ $after -gt $((before + 200)) ]"
click $KEY_5
for i in $(seq 40); do
    jq -r 'select(.event == "set_report") | .data' r.log | grep -qi '^002ef02e' && break
    sleep 0.5
done
sleep 4 # the reader's answer
jq -c 'select(.event == "set_report")' r.log
expect key "a click on the key 5 reached the reader as 2E F0 2E" \
    eval "jq -r 'select(.event == \"set_report\") | .data' r.log | grep -qi '^002ef02e'"
import -window "$id" "$OUT/kernel-window.png"
cp "$OUT/kernel-window.png" window.png
kill -TERM $win; wait $win
stop_readers
kill $xvfb; wait $xvfb
finish
