#!/usr/bin/env python3
"""Writes the bundled example MIDI files (format 1) into examples/.

    scripts/make-examples.py          write them
    scripts/make-examples.py --check  exit 1 when a committed file differs

Standard library only; the output is the same byte for byte on every run.
"""
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLES = os.path.join(ROOT, "examples")


def hexbytes(text):
    return bytes.fromhex(text.replace(" ", ""))


def header(fmt, tracks, division):
    return b"MThd" + (6).to_bytes(4, "big") + fmt.to_bytes(2, "big") + tracks.to_bytes(2, "big") \
        + division.to_bytes(2, "big")


def chunk(data):
    return b"MTrk" + len(data).to_bytes(4, "big") + data


def varlen(value):
    out = [value & 0x7F]
    value >>= 7
    while value:
        out.insert(0, (value & 0x7F) | 0x80)
        value >>= 7
    return bytes(out)


def worked_example():
    """The three-track file of 107 bytes used throughout the tests."""
    return header(1, 3, 480) \
        + chunk(hexbytes("00 FF 03 04 53 6F 6E 67  00 FF 51 03 07 A1 20  83 60 FF 51 03 06 1A 80  00 FF 2F 00")) \
        + chunk(hexbytes("00 C0 00  00 90 3C 64  83 60 3C 00  00 FF 2F 00")) \
        + chunk(hexbytes("00 FF 03 05 50 69 61 6E 6F  00 B1 07 64  81 70 91 40 50  81 70 81 40 40  00 FF 2F 00"))


class Track:
    """Events at absolute ticks; written in time order, note-offs first at a tick."""

    def __init__(self):
        self.events = []  # (tick, order, bytes)
        self.serial = 0

    def add(self, tick, data, order=1):
        self.events.append((tick, order, self.serial, bytes(data)))
        self.serial += 1

    def meta(self, tick, kind, data):
        self.add(tick, bytes([0xFF, kind]) + varlen(len(data)) + data)

    def note(self, tick, length, channel, key, velocity, off="noteoff"):
        self.add(tick, [0x90 | channel, key, velocity])
        if off == "noteoff":
            self.add(tick + length, [0x80 | channel, key, 64], order=0)
        else:  # a note-on of velocity 0
            self.add(tick + length, [0x90 | channel, key, 0], order=0)

    def build(self, end_tick):
        out = bytearray()
        now = 0
        status = None
        for tick, _, _, data in sorted(self.events):
            out += varlen(tick - now)
            now = tick
            # Running status for repeated channel messages, as sequencers write them.
            if data[0] < 0xF0 and data[0] == status:
                out += data[1:]
            else:
                out += data
                status = data[0] if data[0] < 0xF0 else None
        out += varlen(max(end_tick - now, 0)) + b"\xFF\x2F\x00"
        return chunk(bytes(out))


def melody_and_drums():
    """Eight bars in 4/4 at 100 quarter notes per minute: a melody on channel 0,
    a bass on channel 1 and drums on channel 9, behind a conductor track."""
    q = 480  # ticks per quarter note
    bar = 4 * q
    end = 8 * bar

    conductor = Track()
    conductor.meta(0, 0x03, b"Little Tune")
    conductor.meta(0, 0x02, b"(c)Tonvell examples")
    conductor.meta(0, 0x58, bytes([4, 2, 24, 8]))          # 4/4
    conductor.meta(0, 0x51, (600000).to_bytes(3, "big"))   # 100 per minute
    conductor.meta(4 * bar, 0x51, (560000).to_bytes(3, "big"))  # a later change, dropped by the converter

    # Melody, channel 0: (key, quarters), 0 = rest. Keys 67..84 lie within 45..107.
    tune = [
        (67, 1), (72, 1), (76, 1), (79, 1),
        (81, 2), (79, 1), (76, 1),
        (77, 1), (76, 1), (74, 1), (72, 1),
        (74, 3), (71, 1),
        (72, 1), (76, 1), (79, 1), (84, 1),
        (83, 1), (81, 1), (76, 2),
        (77, 1), (81, 1), (79, 1), (77, 1),
        (76, 1), (74, 1), (72, 2),
    ]
    melody = Track()
    melody.meta(0, 0x03, b"Melody")
    melody.add(0, [0xC0, 73])         # flute
    melody.add(0, [0xB0, 7, 100])     # volume
    melody.add(0, [0xB0, 10, 64])     # pan, centre
    melody.add(0, [0xB0, 11, 120])    # expression
    tick = 0
    for key, quarters in tune:
        if key:
            melody.note(tick, quarters * q - 20, 0, key, 96 if tick % bar == 0 else 84)
        tick += quarters * q
    # A little vibrato on the long note of bar 4, and a bend into the last note.
    melody.add(3 * bar + q, [0xB0, 1, 40])
    melody.add(4 * bar - q, [0xB0, 1, 0])
    melody.add(7 * bar + 2 * q - 60, [0xE0, 0x00, 0x38])
    melody.add(7 * bar + 2 * q, [0xE0, 0x00, 0x40])

    # Bass, channel 1: two roots a bar (C, Am, F, G twice, ending on C). Keys 45..55.
    roots = [(48, 55), (45, 52), (53, 48), (55, 50), (48, 55), (45, 52), (53, 48), (55, 48)]
    bass = Track()
    bass.meta(0, 0x03, b"Bass")
    bass.add(0, [0xC1, 33])           # finger bass
    bass.add(0, [0xB1, 7, 90])
    bass.add(0, [0xB1, 10, 48])       # a little to the left
    for b, (first, second) in enumerate(roots):
        bass.note(b * bar, 2 * q - 30, 1, first, 90)
        bass.note(b * bar + 2 * q, 2 * q - 30, 1, second, 80)

    # Drums, channel 9: kick 36, snare 38, closed hi-hat 42, crash 49 (all within 35..81).
    drums = Track()
    drums.meta(0, 0x03, b"Drums")
    drums.add(0, [0xB9, 7, 110])
    for b in range(8):
        start = b * bar
        if b in (0, 4):
            drums.note(start, q, 9, 49, 100, off="zero")
        for beat in range(4):
            t = start + beat * q
            drums.note(t, q // 2, 9, 36 if beat % 2 == 0 else 38, 110 if beat % 2 == 0 else 96, off="zero")
        for eighth in range(8):
            drums.note(start + eighth * q // 2, q // 4, 9, 42, 70 if eighth % 2 else 84, off="zero")

    return header(1, 4, q) + conductor.build(end) + melody.build(end) + bass.build(end) + drums.build(end)


FILES = {
    "worked-example.mid": worked_example,
    "melody-and-drums.mid": melody_and_drums,
}


def main(argv):
    check = "--check" in argv[1:]
    os.makedirs(EXAMPLES, exist_ok=True)
    status = 0
    for name, make in FILES.items():
        data = make()
        path = os.path.join(EXAMPLES, name)
        if check:
            try:
                with open(path, "rb") as f:
                    same = f.read() == data
            except OSError:
                same = False
            if not same:
                print(f"make-examples: {path} differs from what the script writes", file=sys.stderr)
                status = 1
        else:
            with open(path, "wb") as f:
                f.write(data)
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv))
