#!/usr/bin/env python3
# Where the time of one many-readers round went, from the uhid readers' log
# (tests/kernel/checks/80-many-readers.sh; inside the virtual machine only):
#
#   readers-timing.py SCRIPT LOG START END
#
# SCRIPT is the script's text, LOG the vortal9-uhid-reader log of the round,
# START and END when the tool started and ended (seconds since boot, as
# /proc/uptime gives them; the log's CLOCK_MONOTONIC is the same clock in a
# virtual machine that is never suspended). Prints, for the readers that
# received reports:
#   breakdown: the first report of the first and of the last reader after the
#     start, their spread, the playback (each reader's first report to its
#     last; median), and the last report to the tool's end (the releases);
#   pacing: every reader's reports at least 300 ms apart, and 1200 ms after a
#     break that no wait follows, from that reader's own log lines;
#   values: the same figures as NAME=VALUE for the shell.
import json
import statistics
import sys

script, log, start, end = sys.argv[1], sys.argv[2], float(sys.argv[3]), float(sys.argv[4])


def sends(text):
    # What the script sends: the hot key (two reports), then one report per
    # token from character 21 ("F0"/"E0" belong to the code after them);
    # "FF" is a wait for the answer. Returns the reports and the indexes of
    # those a wait follows.
    sent, after_wait = ['141109', 'F009F011F014'], {1}
    body, i = text[20:], 0
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


sent, after_wait = sends(script.strip().upper())
reports = {}
for line in open(log):
    event = json.loads(line)
    if event.get('event') == 'set_report':
        reports.setdefault(event['device'], []).append(event['t_us'] / 1e6)

problems = []
for device, times in sorted(reports.items()):
    for k, (a, b) in enumerate(zip(times, times[1:])):
        need = 0.3
        if k < len(sent) and k not in after_wait and sent[k].startswith('F0'):
            need = 1.2
        if b - a < need:
            problems.append(f'{device}: {1000 * (b - a):.0f} ms after report {k + 1}, at least {1000 * need:.0f}')
    if len(times) != len(sent):
        problems.append(f'{device}: {len(times)} reports, the script sends {len(sent)}')

if not reports:
    print('breakdown: no reader received a report')
    print('pacing: no reports')
    print('values readers=0')
    sys.exit(0)
first = [times[0] for times in reports.values()]
last = [times[-1] for times in reports.values()]
playback = statistics.median(times[-1] - times[0] for times in reports.values())
values = {
    'readers': len(reports),
    'first_first': min(first) - start,
    'first_last': max(first) - start,
    'spread': max(first) - min(first),
    'playback': playback,
    'release': end - max(last),
}
print(f"breakdown: {values['readers']} readers; first report {values['first_first']:.2f} s after the start "
      f"(last reader's {values['first_last']:.2f} s, spread {values['spread']:.2f} s); "
      f"playback {values['playback']:.2f} s (first to last report, median); "
      f"last report to the end {values['release']:.2f} s")
print('pacing: ' + ('fine' if not problems else 'PROBLEMS: ' + '; '.join(problems[:5])))
print('values ' + ' '.join(f'{k}={v:.3f}' if isinstance(v, float) else f'{k}={v}' for k, v in values.items()))
