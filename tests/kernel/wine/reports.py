#!/usr/bin/python3
# The feature reports a uhid reader received (its log, vortal9-uhid-reader
# --log) against what a script sends, and their pacing: at least 300 ms
# between reports, 1200 ms after a break that no wait follows.
#
#   reports.py LOG DEVICE SCRIPT_TEXT [--times N]
#   reports.py --count SCRIPT_TEXT
#
# Prints the gaps and "FINE", or the problems; exits 1 on a problem. With
# --times, the script was played N times, one playback after the other.
# --count prints how many reports the script sends.
import json, sys


def sends(script):
    # The hot key (two reports), then one report per token from character
    # 21 ("F0"/"E0" belong to the code after them); "FF" waits for the answer.
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


if sys.argv[1] == '--count':
    print(len(sends(sys.argv[2].upper())[0]))
    sys.exit(0)
log, device, script = sys.argv[1:4]
times = int(sys.argv[5]) if len(sys.argv) > 5 and sys.argv[4] == '--times' else 1
once, waits = sends(script.upper())
sent, after_wait = [], set()
for k in range(times):
    # The last report of a playback is followed by the next playback's first.
    after_wait |= {len(once) * k + w for w in waits} | {len(once) * (k + 1) - 1}
    sent += once
expected = [('00' + s).ljust(18, '0').lower() for s in sent]
events = [json.loads(line) for line in open(log)]
reports = [e for e in events if e.get('device') == device and e.get('event') == 'set_report']
data = [e['data'].lower() for e in reports]
problems = []
if data != expected:
    problems.append(f'{device}: reports {data} != {expected}')
gaps = [(b['t_us'] - a['t_us']) / 1000 for a, b in zip(reports, reports[1:])]
pauses = 0
for k, gap in enumerate(gaps):
    need = 300
    if k not in after_wait and sent[k].startswith('F0'):
        need = 1200
        pauses += 1
    if gap < need:
        problems.append(f'{device}: {gap:.0f} ms after report {k + 1} ({sent[k]}), at least {need}')
print(device, len(reports), 'reports, gaps (ms):', ' '.join(f'{g:.0f}' for g in gaps),
      f'(shortest {min(gaps):.0f})' if gaps else '', f'{pauses} breaks without a wait')
print('PROBLEMS' if problems else 'FINE')
for p in problems:
    print(p)
sys.exit(1 if problems else 0)
