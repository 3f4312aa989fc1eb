#!/usr/bin/env python3
"""The far end of a COM port for the Wine tests, on a pseudo-terminal.

Bytes outside a frame are echoed at once (the latency probe). A command frame
(ESC '=' ... ETX) is answered as a reader answers it, so that a session runs
through the real Win32 serial path:

  power on  "5555"  -> status 00 and a ten-byte answer to reset, at once
  power off "4444"  -> status 00, after --slow-ms (a reply wait that lasts)
  "5A..."   APDU    -> status 00 with SW 9000
  any other frame   -> status 00, no data

Prints the slave's path as its first line, then serves until killed. It keeps
the slave open itself, so the master never sees a hang-up between the
test programs that open and close the port.
"""
import argparse
import os
import select
import sys
import time
import tty

ESC, ETX = 0x1B, 0x03
ATR = "3B6A00008131FE454A43"


def reply(status, data=""):
    length = len(data) // 2 + 2
    return b"\x1b=" + ("%02X%s%s" % (length, status, data)).encode() + bytes([ETX])


def answer(body):
    if body.startswith(b"5555"):
        return reply("00", ATR), 0
    if body.startswith(b"4444"):
        return reply("00"), None
    if body.startswith(b"5A"):
        return reply("00", "9000"), 0
    return reply("00"), 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--slow-ms", type=int, default=600)
    ap.add_argument("--link", help="also make this symlink to the slave")
    args = ap.parse_args()

    master, slave = os.openpty()
    tty.setraw(slave)
    path = os.ttyname(slave)
    if args.link:
        try:
            os.unlink(args.link)
        except FileNotFoundError:
            pass
        os.symlink(path, args.link)
    print(path, flush=True)

    frame = None
    pending = []  # (due time, bytes)
    while True:
        now = time.monotonic()
        timeout = min((due - now for due, _ in pending), default=None)
        ready, _, _ = select.select([master], [], [], None if timeout is None else max(0.0, timeout))
        now = time.monotonic()
        for item in [p for p in pending if p[0] <= now]:
            os.write(master, item[1])
            pending.remove(item)
        if not ready:
            continue
        try:
            data = os.read(master, 4096)
        except OSError:
            time.sleep(0.01)
            continue
        out = bytearray()
        for b in data:
            if frame is not None:
                frame.append(b)
                if b == ETX:
                    body = bytes(frame[2:-1])
                    frame = None
                    text, delay = answer(body)
                    if delay is None:
                        pending.append((time.monotonic() + args.slow_ms / 1000.0, text))
                    else:
                        out += text
            elif b == ESC:
                frame = bytearray([b])
            else:
                out.append(b)
        if out:
            os.write(master, bytes(out))


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        sys.exit(0)
