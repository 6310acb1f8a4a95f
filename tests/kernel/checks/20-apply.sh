#!/bin/bash
# apply with --transcript on one reader, then with --expect on a reader set
# like it and one set otherwise; a script with keys typed without waits on a
# fourth. The feature reports' bytes as the readers received them, their
# pacing (300 ms between reports, 1200 ms after a break that no wait
# follows), the settings each reader ends with, and "differs" (exit 5) for
# the reader set otherwise.
source "$SRC/tests/kernel/lib.sh"
script s.txt
printf '%s\r\n' "$PACED_TEXT" > paced.txt
fleet f.json '{ "serial": "REF", "settings": { "terminator": "CR", "beep": "ON" } }' \
    '{ "serial": "SAME", "settings": { "terminator": "CR", "beep": "ON" } }' \
    '{ "serial": "OTHER", "settings": { "terminator": "TAB", "beep": "OFF" } }' \
    '{ "serial": "PACED", "settings": { "terminator": "CR", "beep": "ON" } }'
readers r --fleet f.json || { fail start "the uhid readers did not start: $(cat r.err)"; finish; }
REF=$(hidraw_of REF) SAME=$(hidraw_of SAME) OTHER=$(hidraw_of OTHER) PACED=$(hidraw_of PACED)

"$BATCH" apply s.txt --reader "$REF" --transcript ref.json --json > ref.out; status=$?; cat ref.out
expect transcript "apply --transcript exits $status" \
    eval "[ $status = 0 ] && [ \"\$(jq -r .result ref.out)\" = configured ] && [ -s ref.json ]"
# The answers as the tool heard them through the event node: every
# character of the reader's menu (the kernel drops a reader's queued events
# when its reader falls behind: SYN_DROPPED).
menu=$(jq -r '.readers[0].steps[0].answer | gsub("\r\n"; "\n") | gsub("\r"; "\n")' ref.json)
printf '%s\n' "$menu"
expect answers "the menu heard in full: $(printf '%s' "$menu" | tr '\n' '|' | cut -c1-160)" \
    test "$menu" = "$(printf 'VORTAL9 SETUP\n1 Preamble: (none)\n2 Postamble: (none)\n3 Terminator: CR\n4 Tracks: 123\n5 Beep: ON\n8 Save and exit\n9 Exit without saving\n> ')"
"$BATCH" apply s.txt --reader "$SAME" --reader "$OTHER" --expect ref.json --json > expect.out; status=$?; cat expect.out
expect expect "apply --expect exits 5 with SAME configured and OTHER differs (exit $status)" \
    eval "[ $status = 5 ] && [ \"\$(jq -r 'select(.serial == \"SAME\") | .result' expect.out)\" = configured ] \
          && [ \"\$(jq -r 'select(.serial == \"OTHER\") | .result' expect.out)\" = differs ]"
"$BATCH" apply paced.txt --reader "$PACED" --json > paced.out; status=$?; cat paced.out
expect paced "apply of a script with keys between waits exits $status" \
    eval "[ $status = 0 ] && [ \"\$(jq -r .result paced.out)\" = configured ]"
stop_readers

# Every report as each reader received it, against what the script sends.
python3 - "$SCRIPT_TEXT" "$PACED_TEXT" r.log r.settings.json <<'EOF' > reports.txt
import json, sys
scripts, log, settings = sys.argv[1:3], sys.argv[3], sys.argv[4]
def sends(script):
    # What a script sends: the hot key (two reports), then one report per
    # token from character 21 ("F0"/"E0" belong to the code after them);
    # "FF" is a wait for the answer.
    sent, after_wait = ['141109', 'F009F011F014'], {1}
    body, i = script[20:], 0
    while i < len(body):
        pair = body[i:i + 2]
        if pair == 'FF':
            after_wait.add(len(sent) - 1)
            i += 2
            continue
        size = 2
        while body[i + size - 2:i + size] in ('E0', 'F0'):
            size += 2
        sent.append(body[i:i + size])
        i += size
    return sent, after_wait
events = [json.loads(line) for line in open(log)]
problems = []
pauses = 0
for device, script in (('REF', scripts[0]), ('SAME', scripts[0]), ('OTHER', scripts[0]), ('PACED', scripts[1])):
    sent, after_wait = sends(script)
    expected = [('00' + s).ljust(18, '0').lower() for s in sent]
    reports = [e for e in events if e.get('device') == device and e.get('event') == 'set_report']
    data = [e['data'].lower() for e in reports]
    if data != expected:
        problems.append(f'{device}: reports {data} != {expected}')
    gaps = [(b['t_us'] - a['t_us']) / 1000 for a, b in zip(reports, reports[1:])]
    for k, gap in enumerate(gaps):
        need = 300
        if k not in after_wait and sent[k].startswith('F0'):
            need = 1200
            pauses += 1
        if gap < need:
            problems.append(f'{device}: {gap:.0f} ms after report {k + 1} ({sent[k]}), at least {need}')
    print(device, 'gaps (ms):', ' '.join(f'{g:.0f}' for g in gaps))
stored = {d['serial']: d['stored'] for d in json.load(open(settings))['devices']}
want = {'REF': {'preamble': 'ab', 'beep': 'OFF', 'terminator': 'CRLF'},
        'SAME': {'preamble': 'ab', 'beep': 'OFF', 'terminator': 'CRLF'},
        'OTHER': {'preamble': 'ab', 'beep': 'ON', 'terminator': 'NONE'},
        'PACED': {'preamble': 'ab', 'beep': 'OFF', 'terminator': 'CRLF'}}
for device, fields in want.items():
    for key, value in fields.items():
        if stored.get(device, {}).get(key) != value:
            problems.append(f'{device}: {key} {stored.get(device, {}).get(key)!r}, script gives {value!r}')
if pauses != 2:
    problems.append(f'{pauses} breaks without a wait after them, the paced script has 2')
print('PROBLEMS' if problems else 'FINE')
for p in problems:
    print(p)
EOF
cat reports.txt
expect reports "reports, pacing or settings: $(grep -v gaps reports.txt | tail -n +2 | head -3 | tr '\n' ';')" \
    grep -qx FINE reports.txt
finish
