#!/bin/bash
# vortal9-batch.exe under Wine on uhid readers: list and doctor; apply with
# --transcript and --expect on one reader (its reports' bytes and pacing on
# the reader's log, its settings at the end); apply to two readers, of which
# Wine's Raw Input shows one as a keyboard of its own (Wine lists one
# keyboard for all); the refusal while another program's window is in front
# and --allow-foreground-window; the exit statuses; taskkill while a silent
# reader holds a report.
#
# Wine hears a keyboard only through its X driver, for the window with the
# X keyboard focus: Xorg reads the readers' event nodes, and Notepad (Wine's
# own) is the window in front.
source "$SRC/tests/kernel/wine/lib.sh"
script s.txt
began=$(now)
fleet f.json '{ "serial": "W1", "settings": { "terminator": "CR", "beep": "ON" } }' \
    '{ "serial": "W2", "settings": { "terminator": "CR", "beep": "ON" } }'
readers r --fleet f.json || { fail start "the uhid readers did not start: $(cat r.err)"; finish; }
echo "# readers ready after $(elapsed "$began") s"
# X first: Wine's programs take the display driver of the first one.
xorg_start || { fail xorg "Xorg did not start: $(tail -5 xorg.log)"; finish; }
echo "# Xorg up after $(elapsed "$began") s"
xorg_has_readers 2 || fail xorg-readers "Xorg did not add both readers' keyboards"
wine_sees 2 || { fail start "Wine's HID bus shows no two readers"; finish; }
echo "# Wine sees the readers after $(elapsed "$began") s"

batch list.json list --json; cat list.json
listed=$(jq -r 'select(.reader != null and .open) | .serial' list.json | sort | tr '\n' ' ')
HEARD=$(jq -r 'select(.capture) | .serial' list.json)
UNHEARD=$(jq -r 'select(.reader != null and (.capture | not)) | .serial' list.json)
problem=$(jq -r 'select(.reader != null and (.capture | not)) | .problem' list.json)
listed_ok=no
[ $status = 0 ] && [ "$listed" = "W1 W2 " ] && [ "$(echo $HEARD | wc -w)" = 1 ] && [ "$(echo $UNHEARD | wc -w)" = 1 ] &&
    grep -q 'Raw Input lists no keyboard' <<<"$problem" && listed_ok=yes
expect list "list: both readers open ($listed), exit $status; Raw Input has a keyboard of its own for one ($HEARD), not for the other ($UNHEARD: $problem)" \
    test $listed_ok = yes
path_of() { jq -r --arg s "$1" 'select(.serial == $s) | .hidraw' list.json; }
batch doctor.txt doctor; cat doctor.txt
expect doctor "doctor: exit $status (1: a reader cannot be heard), the fix named" \
    eval "[ $status = 1 ] && grep -q 'has no keyboard of its own in Raw Input' doctor.txt"

"$WINE" notepad >notepad.log 2>&1 &
notepad=$(x_window 'Notepad')
xdotool windowfocus --sync "$notepad"
echo "# Notepad in front after $(elapsed "$began") s"

# Refused while another program's window is in front: nothing sent.
batch refused.json apply s.txt --reader "$(path_of "$HEARD")" --json; cat refused.json refused.json.stderr
expect refused "apply while Notepad is in front: $(jq -r .result refused.json), exit $status, named: $(jq -r .message refused.json | grep -o '"[^"]*" ([^)]*)')" \
    eval "[ $status = 1 ] && [ \"\$(jq -r .result refused.json)\" = refused ] \
          && jq -r .message refused.json | grep -q 'Notepad.*window in front' \
          && [ \$(jq -s '[.[] | select(.event == \"set_report\")] | length' r.log) = 0 ]"

# Allowed. First the reader's menu, nothing changed: the first keys that
# Wine's X driver takes from a keyboard it has not seen come late in the
# emulated CPU (it reads the keyboard's map anew), later than the quiet
# period that ends an answer. Then the reference transcript, and --expect
# against it on the same reader, whose settings the first apply changed (its
# menu now differs).
cp "$SRC/examples/show-menu.TXT" menu.txt
batch menu.out apply menu.txt --reader "$(path_of "$HEARD")" --allow-foreground-window --json
cat menu.out
expect menu "the menu alone, nothing changed: $(jq -r .result menu.out), exit $status" \
    eval "[ $status = 0 ] && [ \"\$(jq -r .result menu.out)\" = configured ]"
t=$(now)
batch ref.out apply s.txt --reader "$(path_of "$HEARD")" --allow-foreground-window --transcript ref.json --json
took=$(elapsed "$t"); cat ref.out ref.out.stderr
menu=$(jq -r '.readers[0].steps[0].answer' ref.json 2>/dev/null | tr '\r\n' '||')
expect transcript "apply --transcript: $(jq -r .result ref.out), exit $status in $took s; the menu heard: ${menu:0:120}" \
    eval "[ $status = 0 ] && [ \"\$(jq -r .result ref.out)\" = configured ] && grep -q 'Beep: ON' <<<\"\$menu\""
grep -q 'lands in "Untitled - Notepad"' ref.out.stderr && ok notice || fail notice "no word of where the typing lands: $(cat ref.out.stderr)"
batch differs.out apply s.txt --reader "$(path_of "$HEARD")" --allow-foreground-window --expect ref.json --json
cat differs.out
expect expect-differs "apply --expect on the reader it changed: $(jq -r .result differs.out) at step $(jq -r .step differs.out), exit $status" \
    eval "[ $status = 5 ] && [ \"\$(jq -r .result differs.out)\" = differs ]"
stop_readers
cp r.log first.log
# The menu's script first, then the script twice.
jq -c --arg d "$HEARD" 'select(.device == $d and .event == "set_report")' first.log | tail -n +$(($(python3 "$SRC/tests/kernel/wine/reports.py" --count "$(head -c 200 menu.txt | tr -d '\r\n')") + 1)) > first-scripts.log
python3 "$SRC/tests/kernel/wine/reports.py" first-scripts.log "$HEARD" "$SCRIPT_TEXT" --times 2 > first-reports.txt
# Two playbacks of the script on one reader: its log holds both.
jq -c 'select(.event == "set_report")' first.log | head -40 > /dev/null
echo "# $(jq -s --arg d "$HEARD" '[.[] | select(.device == $d and .event == "set_report")] | length' first.log) reports on $HEARD"

# A reader set like the reference, alone: --expect finds it the same; then
# both readers at once.
readers r --fleet f.json || { fail start "the uhid readers did not start again: $(cat r.err)"; finish; }
wine_restart 2 || { fail start "Wine's HID bus shows no two readers again"; finish; }
"$WINE" notepad >notepad.log 2>&1 &
notepad=$(x_window 'Notepad')
batch list2.json list --json
HEARD=$(jq -r 'select(.capture) | .serial' list2.json)
UNHEARD=$(jq -r 'select(.reader != null and (.capture | not)) | .serial' list2.json)
path_of() { jq -r --arg s "$1" 'select(.serial == $s) | .hidraw' list2.json; }
xorg_has_readers 4 || fail xorg-readers-again "Xorg did not add the readers made again"
xdotool windowfocus --sync "$notepad"
# Wine's X driver takes a keyboard's first keys late here too (above): the
# menu first, then the proof.
batch menu2.out apply menu.txt --reader "$(path_of "$HEARD")" --allow-foreground-window --json
batch same.out apply s.txt --reader "$(path_of "$HEARD")" --allow-foreground-window --expect ref.json --json
cat same.out
expect expect-same "apply --expect on a reader set like the reference: $(jq -r .result same.out), exit $status" \
    eval "[ $status = 0 ] && [ \"\$(jq -r .result same.out)\" = configured ]"
batch both.out apply s.txt --all --allow-foreground-window --json
cat both.out
expect several "apply --all to two readers: $HEARD $(jq -r --arg s "$HEARD" 'select(.serial == $s) | .result' both.out), $UNHEARD $(jq -r --arg s "$UNHEARD" 'select(.serial == $s) | .result' both.out) (Wine: no keyboard of its own), exit $status" \
    eval "[ $status = 1 ] && [ \"\$(jq -r --arg s $HEARD 'select(.serial == \$s) | .result' both.out)\" = configured ] \
          && [ \"\$(jq -r --arg s $UNHEARD 'select(.serial == \$s) | .result' both.out)\" = refused ]"
stop_readers
# Per reader, its log: the heard one twice the script (--expect, then --all),
# the other nothing.
python3 - "$HEARD" "$UNHEARD" "$SCRIPT_TEXT" r.log r.settings.json <<'PY' > second-reports.txt
import json, subprocess, sys
heard, unheard, script, log, settings = sys.argv[1:]
events = [json.loads(l) for l in open(log)]
n_heard = sum(1 for e in events if e.get('device') == heard and e.get('event') == 'set_report')
n_unheard = sum(1 for e in events if e.get('device') == unheard and e.get('event') == 'set_report')
stored = {d['serial']: d['stored'] for d in json.load(open(settings))['devices']}
print(f'{heard}: {n_heard} reports, stored {stored.get(heard)}; {unheard}: {n_unheard} reports, stored {stored.get(unheard)}')
PY
cat first-reports.txt second-reports.txt
expect reports "reports and pacing on the reader's log: $(head -1 first-reports.txt); $(cat second-reports.txt)" \
    eval "grep -qx FINE first-reports.txt && grep -q \"$UNHEARD: 0 reports\" second-reports.txt"

# Exit statuses without playing: a wrong option, a missing script, no reader.
batch usage.out apply s.txt --no-such-option
usage=$status
batch missing.out apply no-such-script.txt --all
missing=$status
# Wine's SetupDi keeps listing unplugged readers as present (they no longer
# open); started again, Wine lists what is there.
wine_stop
batch none.out list
none=$status
expect statuses "wrong option $usage (2), missing script $missing (3), no reader $none (4)" \
    eval "[ $usage = 2 ] && [ $missing = 3 ] && [ $none = 4 ]"

# taskkill (WM_CLOSE to the tool's windows) while a silent reader holds a
# report: interrupted, 130, soon (Wine's HID bus does not cancel the report;
# the tool leaves it to it).
fleet m.json '{ "serial": "MUTE", "noAnswerAt": 2 }'
readers w --fleet m.json || { fail start "the silent reader did not start: $(cat w.err)"; finish; }
wine_restart 1 || { fail start "Wine's HID bus shows no silent reader"; finish; }
"$WINE" "$WBIN/vortal9-batch.exe" apply s.txt --all --allow-foreground-window --json >int.raw 2>int.err &
pid=$!
for i in $(seq 300); do
    [ -n "$(jq -r 'select(.event == "set_report" and .n == 2) | .t_us' w.log)" ] && break
    sleep 0.2
done
sleep 1
sent=$(now)
"$WINE" taskkill /im vortal9-batch.exe >taskkill.out 2>&1
wait $pid; status=$?
took=$(elapsed "$sent")
tr -d '\r' <int.raw >int.json; cat int.json int.err taskkill.out
expect taskkill "taskkill while a report waits: $(jq -r .result int.json), exit $status, after $took s" \
    eval "[ $status = 130 ] && [ \"\$(jq -r .result int.json)\" = interrupted ]"
stop_readers
kill %1 2>/dev/null
wine_stop
xorg_stop
echo "# the Wine batch check took $(elapsed "$began") s"
finish
