#!/usr/bin/env python3
"""What the emulated FTDI adapter was told during one upload, from QEMU's
trace (-trace usb_serial_*): the line settings the program left in force and
the modem lines it raised and dropped.
    line-settings.py TRACE   one "ok|bad NAME DETAIL" line per check, and the
                             DTR/RTS sequence as "dtr: ..."
"""
import re
import sys

SET_MODEM_CTRL = 0x4001  # vendor request to the device: set DTR/RTS (mask in the high byte)
SET_LATENCY = 0x4009     # vendor request to the device: its latency timer in ms

events = []
for line in open(sys.argv[1], errors='replace'):
    if m := re.search(r'usb_serial_set_baud .*baud rate (\d+)', line):
        events.append(('baud', int(m.group(1))))
    elif m := re.search(r'usb_serial_set_data .*parity (.), data bits (\d+), stop bits (\d+)', line):
        events.append(('data', (m.group(1), int(m.group(2)), int(m.group(3)))))
    elif m := re.search(r'usb_serial_set_flow_control .*flow control (\d+)', line):
        events.append(('flow', int(m.group(1))))
    elif m := re.search(r'usb_serial_handle_control .*control 0x([0-9a-f]+), value 0x([0-9a-f]+)', line):
        request, value = int(m.group(1), 16), int(m.group(2), 16)
        if request == SET_MODEM_CTRL:
            events.append(('lines', value))
        elif request == SET_LATENCY:
            events.append(('latency', value))


def last(kind, events):
    values = [value for what, value in events if what == kind]
    return values[-1] if values else None


def verdict(ok, name, detail):
    print(('ok' if ok else 'bad'), name, detail)


# The settings in force when the upload ran: the last the program set.
baud_at = max((i for i, (what, _) in enumerate(events) if what == 'baud'), default=-1)
baud = last('baud', events)
data = last('data', events)
flow = last('flow', events)
verdict(baud == 38400, 'line-baud', f'the adapter ran at {baud} baud')
verdict(data is not None and data[0] == 'N' and data[1:] == (8, 1), 'line-frame',
        f'data bits, parity, stop bits: {data}')
verdict(flow == 0, 'line-flow', f'flow control {flow} (0: none)')

# DTR and RTS as the adapter saw them change, in order.
sequence = []
for index, (what, value) in enumerate(events):
    if what != 'lines':
        continue
    changes = []
    if value & 0x100:
        changes.append('DTR ' + ('on' if value & 1 else 'off'))
    if value & 0x200:
        changes.append('RTS ' + ('on' if value & 2 else 'off'))
    if changes:
        sequence.append((index, ', '.join(changes)))
print('dtr: ' + ' -> '.join(change for _, change in sequence) if sequence else 'dtr: no change')
after = [change for index, change in sequence if index > baud_at and 'DTR' in change]
raised = sum(1 for _, change in sequence if 'DTR on' in change)
verdict(baud_at >= 0 and after[:1] and 'DTR off' in after[0] and not any('DTR on' in c for c in after),
        'line-dtr', f'DTR off once the line was set; raised {raised} time(s) in all')

# The latency timer as the adapter was told it: 1 ms at the open, the
# driver's own value again at the close.
timers = [value for what, value in events if what == 'latency']
verdict(len(timers) == 2 and timers[0] == 1 and timers[1] != 1, 'ftdi-latency-adapter',
        'the adapter was told ' + (', then '.join(f'{t} ms' for t in timers) or 'nothing'))
