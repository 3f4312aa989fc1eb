#!/usr/bin/python3
"""A small card the tests run beside the simulator, speaking vpcd's protocol
as a card emulator does: each message a 2-byte big-endian length and a
payload; a 1-byte payload is a control code (0 power off, 1 power on,
2 reset, 4 the ATR, which alone is answered), any other an APDU, answered
whole (data and status word, as an emulator answers, whatever the protocol).

  vpcd_card.py --connect HOST:PORT [--t1]   # to a qd500-sim --vpcd-listen
  vpcd_card.py --listen HOST:PORT [--t1]    # for a qd500-sim --vpcd-connect;
                                            # prints "listen HOST:PORT" once bound

Its ATR offers T=0 (TD1 = 00) or, with --t1, T=1 only. It answers:
  00 A4 04 00 Lc name [Le]   SELECT by DF name: FCI 6F(84 name, A5(88 01 01)) for
                             a prefix of its one application's name, else 6A82
  00 84 00 00 Le             GET CHALLENGE: Le bytes (8 for Le 00)
  00 88 00 00 Lc data [Le]   INTERNAL AUTHENTICATE: the data reversed (case 4)
  00 B0 P1 P2 Le             READ BINARY of its 300-byte file (byte i = i*7+3)
  80 DE 00 00                leaves: the connection closes, unanswered
  anything else              6D00 (6E00 for another class)
It serves one reader connection and exits when that ends."""

from __future__ import annotations

import argparse
import os
import socket
import struct
import sys

APPLICATION = b"\xF0QD500VPC"  # its one application's name
FILE = bytes((i * 7 + 3) & 0xFF for i in range(300))
HISTORICAL = b"VPCDCARD"


def atr(t1: bool) -> bytes:
    if not t1:
        return bytes([0x3B, 0x88, 0x00]) + HISTORICAL  # TD1: T=0 and nothing further
    body = bytes([0x88, 0x01]) + HISTORICAL  # TD1: T=1 and nothing further, then TCK
    tck = 0
    for b in body:
        tck ^= b
    return bytes([0x3B]) + body + bytes([tck])


def answer(apdu: bytes) -> bytes | None:
    """The card's response to one APDU; None: it leaves."""
    if len(apdu) < 4:
        return b"\x67\x00"
    cla, ins, p1, p2 = apdu[:4]
    body = apdu[4:]
    lc = body[0] if len(body) > 1 else 0
    data = body[1:1 + lc] if len(body) > 1 else b""
    le = body[0] if len(body) == 1 else (body[1 + lc] if len(body) == 2 + lc else None)
    if cla == 0x80 and ins == 0xDE:
        return None
    if cla != 0x00:
        return b"\x6E\x00"
    if ins == 0xA4 and p1 == 0x04:
        if not data or not APPLICATION.startswith(data):
            return b"\x6A\x82"
        proprietary = bytes([0xA5, 3, 0x88, 1, 1])
        inner = bytes([0x84, len(APPLICATION)]) + APPLICATION + proprietary
        return bytes([0x6F, len(inner)]) + inner + b"\x90\x00"
    if ins == 0x84:
        return os.urandom(le or 8) + b"\x90\x00"
    if ins == 0x88:
        return data[::-1] + b"\x90\x00"
    if ins == 0xB0:
        offset = p1 << 8 | p2
        if offset >= len(FILE):
            return b"\x6B\x00"
        return FILE[offset:offset + (le or 256)] + b"\x90\x00"
    return b"\x6D\x00"


def read_exact(conn: socket.socket, n: int) -> bytes | None:
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def serve(conn: socket.socket, t1: bool) -> None:
    while True:
        head = read_exact(conn, 2)
        if head is None:
            return
        (length,) = struct.unpack(">H", head)
        payload = read_exact(conn, length)
        if payload is None:
            return
        if len(payload) == 1:
            if payload[0] == 4:
                reply: bytes | None = atr(t1)
            else:
                continue  # power off, on, reset: not answered
        else:
            reply = answer(payload)
            if reply is None:
                return
        conn.sendall(struct.pack(">H", len(reply)) + reply)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--connect", metavar="HOST:PORT")
    where.add_argument("--listen", metavar="HOST:PORT")
    parser.add_argument("--t1", action="store_true", help="an ATR offering T=1 only")
    args = parser.parse_args()
    host, _, port = (args.connect or args.listen).rpartition(":")
    if args.connect:
        conn = socket.create_connection((host, int(port)))
    else:
        server = socket.socket()
        server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        server.bind((host, int(port)))
        server.listen(1)
        print("listen %s:%d" % server.getsockname()[:2], flush=True)
        conn, _ = server.accept()
        server.close()
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    with conn:
        serve(conn, args.t1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
