#!/usr/bin/python3
# Input event nodes as another program sees them, for the real-kernel checks.
#   evdev-probe.py listen NODE FILE   reads NODE without grabbing it (as a
#       desktop's input stack does) and appends one line to FILE per key
#       event: its time (CLOCK_REALTIME, seconds) only, never which key;
#       "open" once the node is open. Until SIGTERM.
#   evdev-probe.py held NODE          prints how many keys NODE has down now.
import fcntl, os, signal, struct, sys, time

EV_KEY = 1
EVENT = struct.Struct('llHHi')
KEY_MAX = 0x2ff
EVIOCGKEY = (2 << 30) | (((KEY_MAX + 7) // 8) << 16) | (ord('E') << 8) | 0x18


def listen(node, path):
    fd = os.open(node, os.O_RDONLY)
    out = open(path, 'a', buffering=1)
    out.write('open\n')
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    while True:
        try:
            data = os.read(fd, EVENT.size * 64)
        except OSError:  # the device is gone
            out.write('gone\n')
            return
        for at in range(0, len(data), EVENT.size):
            _, _, kind, _, _ = EVENT.unpack_from(data, at)
            if kind == EV_KEY:
                out.write(f'{time.time():.3f}\n')


def held(node):
    fd = os.open(node, os.O_RDONLY)
    keys = bytearray((KEY_MAX + 7) // 8)
    fcntl.ioctl(fd, EVIOCGKEY, keys)
    print(sum(bin(b).count('1') for b in keys))


if sys.argv[1] == 'listen':
    listen(sys.argv[2], sys.argv[3])
else:
    held(sys.argv[2])
