#!/usr/bin/python3
# A plain USB keyboard made with /dev/uhid, for the real-kernel checks only
# (run inside the virtual machine, never on a host with a desktop: its keys
# would land in whatever has the focus there).
#
#   uhid-keyboard.py VENDOR PRODUCT [--name NAME] [--type USAGES] [--hold SECONDS]
#
# Makes the keyboard (ids in hexadecimal), prints "ready" once it exists,
# optionally types the given HID usages (comma separated, hexadecimal: each
# a press and a release), and removes it after --hold seconds or on SIGTERM.
import argparse, os, select, signal, struct, sys, time

UHID_DESTROY, UHID_CREATE2, UHID_INPUT2 = 1, 11, 12
BUS_USB = 3
EVENT_SIZE = 4380

# A boot keyboard: modifiers, a reserved byte, six key slots; LEDs out.
DESCRIPTOR = bytes([
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7,
    0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01,
    0x75, 0x08, 0x81, 0x01, 0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01,
    0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06,
    0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65,
    0x81, 0x00, 0xC0])


def event(kind, payload=b''):
    return (struct.pack('<I', kind) + payload).ljust(EVENT_SIZE, b'\0')


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('vendor')
    parser.add_argument('product')
    parser.add_argument('--name', default='Test Keyboard')
    parser.add_argument('--type', default='')
    parser.add_argument('--hold', type=float, default=3600)
    args = parser.parse_args()

    fd = os.open('/dev/uhid', os.O_RDWR)
    create = struct.pack('<128s64s64sHHIIII', args.name.encode(), b'vm/uhid', b'KB0001',
                         len(DESCRIPTOR), BUS_USB, int(args.vendor, 16), int(args.product, 16),
                         1, 0) + DESCRIPTOR.ljust(4096, b'\0')
    os.write(fd, event(UHID_CREATE2, create))
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    signal.signal(signal.SIGINT, lambda *_: stop.append(1))
    print('ready', flush=True)
    time.sleep(0.5)
    for usage in filter(None, args.type.split(',')):
        for report in (bytes([0, 0, int(usage, 16), 0, 0, 0, 0, 0]), bytes(8)):
            os.write(fd, event(UHID_INPUT2, struct.pack('<H', 8) + report))
            time.sleep(0.02)
    end = time.monotonic() + args.hold
    while not stop and time.monotonic() < end:
        # The kernel's events (start, open, output reports) are read and dropped.
        ready, _, _ = select.select([fd], [], [], 0.2)
        if ready:
            os.read(fd, EVENT_SIZE)
    os.write(fd, event(UHID_DESTROY))
    os.close(fd)


if __name__ == '__main__':
    sys.exit(main())
