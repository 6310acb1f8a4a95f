#!/bin/bash
# The window of the Windows build under Wine, the design's way: on Xorg,
# whose libinput driver reads the uhid readers' event nodes, so that a
# reader's typing reaches the window through the keyboard focus as on a
# Windows desktop. "Check Device" counts the readers (drawn as the Windows
# demo draws its two); "Enter Config" sends the hot key (the reader's log)
# and the menu it types lands in the receive box (docs/wine-window.png); an
# on-screen key reaches the reader as its scan codes; "Close Device"
# releases a latched Shift; "Load File" and "Setting" play a script to its
# end with the pacing (the reader's log) and the reader keeps its settings;
# a reader that never answers a report ends in the error message within the
# kernel's time-out; an unplugged reader is noticed.
source "$SRC/tests/kernel/wine/lib.sh"
began=$(now)
script s.txt
printf '%s\r\n' "$PACED_TEXT" > paced.txt

# Positions in the window's client area, in pixels (the design's twips / 15).
CHECK_DEVICE="320 24" ENTER_CONFIG="320 64" CLOSE_DEVICE="392 24" LOAD_FILE="184 112" SETTING="272 112"
KEY_5="192 388" SHIFT="44 459"
COUNT=57x25+192+40 RECEIVE=486x191+9+169 STATUS=80x25+53+507 ERROR=180x25+320+507
WINDOW='^VORTAL9 Configuration Setup'
click() { xdotool mousemove --window "$win" $1 $2 click 1; }
# crop GEOMETRY FILE: that part of the window (GEOMETRY relative to it).
crop() {
    local X Y WIDTH HEIGHT SCREEN WINDOW
    eval "$(xdotool getwindowgeometry --shell "$win")"
    local size=${1%%+*} at=${1#*+}
    import -window root -crop "$size+$((X + ${at%%+*}))+$((Y + ${at#*+}))" +repage "$2"
}
ink() { crop "$1" ink.png && convert ink.png -format '%[fx:int(100000*(1-mean))]' info:; }
reports_of() { jq -s --arg d "$1" '[.[] | select(.device == $d and .event == "set_report")] | length' "$2"; }
wait_reports() { # DEVICE LOG COUNT SECONDS
    local i
    for i in $(seq $(($4 * 5))); do
        [ "$(reports_of "$1" "$2")" -ge "$3" ] && return 0
        sleep 0.2
    done
    return 1
}
# Until a part of the window has stopped changing for SECONDS.
settled() { # GEOMETRY SECONDS [MAX]
    local last= same=0 i value
    for i in $(seq $((${3:-60} * 2))); do
        value=$(ink "$1")
        if [ "$value" = "$last" ]; then same=$((same + 1)); else same=0; fi
        last=$value
        [ $same -ge $(($2 * 2)) ] && return 0
        sleep 0.5
    done
    return 1
}
# The window again after readers were made anew (see wine_restart).
restart_window() { # COUNT
    kill $winpid 2>/dev/null
    wait $winpid 2>/dev/null
    wine_restart "$1" || return 1
    start_window "$WBIN/vortal9-setup.exe" window.log
}
start_window() { # PROGRAM LOG
    "$WINE" "$1" >"$2" 2>&1 &
    winpid=$!
    win=$(timeout 120 bash -c "$(declare -f x_window); x_window '$WINDOW'")
    [ -n "$win" ] || return 1
    xdotool windowfocus --sync "$win"
    sleep 2
}

fleet f.json '{ "serial": "R1", "settings": { "terminator": "CR", "beep": "ON" } }' '{ "serial": "R2" }'
readers r --fleet f.json || { fail start "the uhid readers did not start: $(cat r.err)"; finish; }
xorg_start || { fail xorg "Xorg did not start: $(tail -5 xorg.log)"; finish; }
xorg_has_readers 2 || fail xorg-readers "Xorg did not add both readers' keyboards"
wine_sees 2 || { fail start "Wine's HID bus shows no two readers"; finish; }

# The reference: the Windows demo's count of its two emulated readers.
start_window "$WBIN/vortal9-setup-demo.exe" demo.log || { fail demo "the demo's window did not appear"; finish; }
click $CHECK_DEVICE
sleep 3
crop $COUNT demo-count.png
kill $winpid; wait $winpid 2>/dev/null

start_window "$WBIN/vortal9-setup.exe" window.log || { fail window "the window did not appear: $(tail -3 window.log)"; finish; }
echo "# the window is up after $(elapsed "$began") s"
click $CHECK_DEVICE
sleep 3
crop $COUNT count.png
differ=$(compare -metric AE demo-count.png count.png null: 2>&1)
expect check-device "Check Device: the count drawn as the demo's [ 2 ] ($differ pixels differ)" test "$differ" = 0

before=$(ink $RECEIVE)
click $ENTER_CONFIG
wait_reports R1 r.log 2 30
settled $RECEIVE 3 90 # the menu typed, heard through the focus
after=$(ink $RECEIVE)
hotkey=$(jq -r 'select(.device == "R1" and .event == "set_report") | .data' r.log | head -2 | tr '\n' ' ')
expect enter-config "Enter Config: the reader got the hot key ($hotkey), the receive box's ink $before -> $after" \
    eval "[ \"\${hotkey:0:8}\" = 00141109 ] && [ $after -gt $((before + 200)) ]"
sleep 2 # the quiet period that enables the keys
xdotool getwindowgeometry "$win"
import -window "$win" "$OUT/wine-window.png"
cp "$OUT/wine-window.png" window.png

click $KEY_5
for i in $(seq 100); do jq -r 'select(.device == "R1" and .event == "set_report") | .data' r.log | grep -qi '^002ef02e' && break; sleep 0.3; done
expect key "a click on the key 5 reached the reader as 2E F0 2E" \
    eval "jq -r 'select(.device == \"R1\" and .event == \"set_report\") | .data' r.log | grep -qi '^002ef02e'"
settled $RECEIVE 3 60
sleep 2

# A latched Shift, then Close Device: the Shift goes up on the reader.
n=$(reports_of R1 r.log)
click $SHIFT
wait_reports R1 r.log $((n + 1)) 20
click $CLOSE_DEVICE
wait_reports R1 r.log $((n + 2)) 20
latched=$(jq -r 'select(.device == "R1" and .event == "set_report") | .data' r.log | tail -2 | tr '\n' ' ')
expect close-releases-shift "Shift latched, then Close Device: the reader got $latched" test "$latched" = "001200000000000000 00f012000000000000 "
stop_readers

# Load File and Setting on a fresh reader: the script to its end, paced.
fleet p.json '{ "serial": "P1", "settings": { "terminator": "CR", "beep": "ON" } }'
readers p --fleet p.json || { fail start "the playback's reader did not start: $(cat p.err)"; finish; }
xorg_has_readers 3 || fail xorg-readers "Xorg did not add the playback's reader"
restart_window 1 || { fail window "the window did not appear again with the playback's reader"; finish; }
click $CHECK_DEVICE
sleep 3
click $LOAD_FILE
dialog=$(timeout 60 bash -c "$(declare -f x_window); x_window '^Open$'")
if [ -z "$dialog" ]; then
    fail load-file "no file dialog appeared"
else
    xdotool windowfocus --sync "$dialog"
    sleep 1
    xdotool type --delay 50 "$(win_path "$SCRATCH/paced.txt")"
    xdotool key Return
    sleep 3
    xdotool windowfocus --sync "$win"
    played=$(now)
    click $SETTING
    wait_reports P1 p.log "$(python3 "$SRC/tests/kernel/wine/reports.py" --count "$PACED_TEXT")" 180
    settled $RECEIVE 4 60
    echo "# the playback took $(elapsed "$played") s"
fi
stop_readers
python3 "$SRC/tests/kernel/wine/reports.py" p.log P1 "$PACED_TEXT" > playback.txt; cat playback.txt
stored=$(jq -c '.devices[] | select(.serial == "P1") | .stored' p.settings.json)
expect playback "Load File and Setting: $(head -1 playback.txt); the reader keeps $stored" \
    eval "grep -qx FINE playback.txt && [ \"\$(jq -r '.preamble + \" \" + .beep + \" \" + .terminator' <<<'$stored')\" = 'ab OFF CRLF' ]"

# A reader that never answers a report: the error message once the kernel
# gives up on it (5 s).
fleet m.json '{ "serial": "MUTE", "noAnswerAt": 1 }'
readers m --fleet m.json || { fail start "the silent reader did not start: $(cat m.err)"; finish; }
xorg_has_readers 4 || true
restart_window 1 || { fail window "the window did not appear again with the silent reader"; finish; }
click $CHECK_DEVICE
sleep 3
quiet=$(ink $ERROR)
click $ENTER_CONFIG
wait_reports MUTE m.log 1 30
sent=$(jq -r 'select(.device == "MUTE" and .event == "set_report") | .t_us / 1e6' m.log | head -1)
for i in $(seq 60); do [ "$(ink $ERROR)" != "$quiet" ] && break; sleep 0.25; done
shown=$(now)
crop $ERROR silent-error.png
after=$(awk -v a="$sent" -v b="$shown" 'BEGIN { printf "%.1f", b - a }')
expect silent "a report never answered: the error panel changed $after s after the report (silent-error.png)" \
    eval "[ \"\$(ink $ERROR)\" != '$quiet' ] && awk -v t=$after 'BEGIN { exit !(t >= 4.5 && t <= 10) }'"
stop_readers

# An unplugged reader is noticed (Windows' device notifications).
fleet u.json '{ "serial": "GONE" }'
readers u --fleet u.json || { fail start "the reader to unplug did not start: $(cat u.err)"; finish; }
restart_window 1 || { fail window "the window did not appear again with the reader to unplug"; finish; }
click $CHECK_DEVICE
sleep 3
click $ENTER_CONFIG
wait_reports GONE u.log 2 30
settled $RECEIVE 3 60
status_before=$(ink $STATUS)
stop_readers
for i in $(seq 60); do [ "$(ink $STATUS)" != "$status_before" ] && break; sleep 0.25; done
expect unplug "the unplugged reader noticed: the status panel changed ($status_before -> $(ink $STATUS))" \
    eval "[ \"\$(ink $STATUS)\" != '$status_before' ]"

# taskkill (WM_CLOSE to the window, as Windows' own ending does to every
# window) with a Shift latched: released on the reader, then the program
# ends with 0, as on SIGTERM on Linux.
fleet k.json '{ "serial": "KILL" }'
readers k --fleet k.json || { fail start "the last reader did not start: $(cat k.err)"; finish; }
restart_window 1 || { fail window "the window did not appear again with the last reader"; finish; }
click $CHECK_DEVICE
sleep 3
click $ENTER_CONFIG
wait_reports KILL k.log 2 30
settled $RECEIVE 3 60
sleep 2
click $SHIFT
wait_reports KILL k.log 3 20
"$WINE" taskkill /im vortal9-setup.exe >taskkill.out 2>&1
for i in $(seq 100); do kill -0 $winpid 2>/dev/null || break; sleep 0.2; done
wait $winpid; ended=$?
stop_readers
latched=$(jq -r 'select(.device == "KILL" and .event == "set_report") | .data' k.log | tail -2 | tr '\n' ' ')
expect taskkill-releases-shift "Shift latched, then taskkill: the reader got $latched, the program ended with $ended" \
    test "$latched $ended" = "001200000000000000 00f012000000000000  0"

wine_stop
xorg_stop
echo "# the Wine window check took $(elapsed "$began") s"
finish
