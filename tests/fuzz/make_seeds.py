#!/usr/bin/env python3
"""Writes the hand-made seeds of the fuzz corpus (findings are added beside them)."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def chunk(data: bytes, delay_steps: int = 0) -> bytes:
    return struct.pack('<H', (delay_steps << 10) | len(data)) + data


def text(s: bytes) -> bytes:
    # ParamReader.Text reads a length byte L and takes L*3 characters.
    n = (len(s) + 2) // 3
    return bytes([n]) + s.ljust(n * 3, b'0')


def write(target: str, name: str, data: bytes) -> None:
    folder = os.path.join(HERE, 'corpus', target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), 'wb') as f:
        f.write(data)


def conversions() -> None:
    write('conversions', 'hex16', chunk(text(b'0123456789ABCDEF') + text(b'FEDCBA98765432100123456789ABCDEF') + struct.pack('<h', 16) + b'\x08'))
    write('conversions', 'odd', chunk(text(b'abc') + text(b'1') + struct.pack('<h', 3) + b'\x03'))
    write('conversions', 'nonhex', chunk(text(b'G1 z-+xx\xff\x80') + text(b'') + struct.pack('<h', 9) + b'\x3f'))
    write('conversions', 'long', chunk(text(b'9' * 600) + text(b'A' * 40) + struct.pack('<h', 2047) + b'\x40'))
    write('conversions', 'negative', chunk(text(b'12') + text(b'34') + struct.pack('<h', -5) + b'\x00'))


if __name__ == '__main__':
    conversions()
