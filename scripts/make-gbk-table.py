#!/usr/bin/env python3
"""Writes src/core/gbk_table.inc: every two-byte GBK code and its Unicode
character, as src/core/gbk.cpp reads it.

Run once; the output is committed. Python's gbk codec agrees with the C
library's GBK converter on every two-byte code (tests/gbk_test.cpp checks the
table against iconv whenever the tests run).

The codes are taken in order: lead byte 0x81 to 0xFE, and for each the trail
bytes 0x40 to 0x7E and 0x80 to 0xFE (190 of them). The table is a stream of
16-bit values walking that order:
  a value of 0x80 or more   the character of the next code;
  1 to 0x7F (n)             the next n codes continue the previous character
                            one by one (U+4E02, U+4E03, ...);
  0 followed by n           the next n codes have no character.
No two-byte code stands for an ASCII character, so the small values are free.
"""
import os
import sys

TRAILS = list(range(0x40, 0x7F)) + list(range(0x80, 0xFF))


def characters():
    out = []
    for lead in range(0x81, 0xFF):
        for trail in TRAILS:
            try:
                text = bytes([lead, trail]).decode("gbk")
            except UnicodeDecodeError:
                out.append(0)
                continue
            assert len(text) == 1 and 0x80 <= ord(text) <= 0xFFFF, (lead, trail)
            out.append(ord(text))
    return out


def stream(chars):
    out, i = [], 0
    while i < len(chars):
        if chars[i] == 0:
            j = i
            while j < len(chars) and chars[j] == 0 and j - i < 0xFFFF:
                j += 1
            out += [0, j - i]
        else:
            out.append(chars[i])
            j = i + 1
            while j < len(chars) and chars[j] == chars[j - 1] + 1 and j - i <= 0x7F:
                j += 1
            if j - i > 1:
                out.append(j - i - 1)
        i = j
    return out


def check_reverse(chars):
    """Every character with a code must come back to that code when encoded."""
    seen = {}
    for index, ch in enumerate(chars):
        if ch == 0:
            continue
        code = bytes([0x81 + index // len(TRAILS), TRAILS[index % len(TRAILS)]])
        assert ch not in seen, f"U+{ch:04X} has two codes"
        seen[ch] = code
        assert chr(ch).encode("gbk") == code, f"U+{ch:04X}"


def main():
    chars = characters()
    check_reverse(chars)
    values = stream(chars)
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    path = os.path.join(root, "src", "core", "gbk_table.inc")
    with open(path, "w", encoding="ascii") as f:
        f.write("// Written by scripts/make-gbk-table.py; do not edit.\n")
        f.write(f"// {sum(1 for c in chars if c)} two-byte GBK codes in {len(values)} values.\n")
        for start in range(0, len(values), 12):
            row = values[start:start + 12]
            f.write(",".join(f"0x{v:04X}" for v in row) + ",\n")
    print(f"{path}: {len(values)} values", file=sys.stderr)


if __name__ == "__main__":
    main()
