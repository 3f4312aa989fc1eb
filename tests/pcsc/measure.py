"""Figures of the driver in pcscd, run by run.sh --measure beside the suite:
one APDU's round trip through pyscard + pcscd + the driver against the same
APDU through the library directly (qd500_transmit, on a simulator of its own
at the same 9600 baud), and the time from a card's insertion to pcsc_scan
reporting it."""
import ctypes
import os
import random
import statistics
import subprocess
import sys
import time
from typing import Callable, List

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_pcsc import Card, Scan, sim  # noqa: E402

BUILD = os.environ.get('QD500_BUILD', os.path.join(os.path.dirname(__file__), '..', '..', 'build', 'linux'))
APDU = bytes.fromhex('0084000008')  # GET CHALLENGE: 8 bytes and 9000
RUNS = 50


def timed(call: Callable[[], None], runs: int) -> List[float]:
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return times


def describe(name: str, times: List[float]) -> str:
    ms = sorted(t * 1000 for t in times)
    return '%-34s median %7.2f ms  min %7.2f  max %7.2f  (%d runs)' % (
        name, statistics.median(ms), ms[0], ms[-1], len(ms))


def direct(runs: int) -> List[float]:
    lib = ctypes.CDLL(os.path.join(BUILD, 'libqd500.so'))
    reader = ctypes.c_void_p()
    size = ctypes.c_size_t
    lib.qd500_open.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_void_p)]
    lib.qd500_close.argtypes = [ctypes.c_void_p]
    lib.qd500_select_card.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
    lib.qd500_power_on.argtypes = [ctypes.c_void_p, ctypes.c_char_p, size, ctypes.POINTER(size)]
    lib.qd500_transmit.argtypes = [ctypes.c_void_p, ctypes.c_char_p, size, ctypes.c_char_p, size,
                                   ctypes.POINTER(size)]
    proc = subprocess.Popen([os.path.join(BUILD, 'tools', 'sim', 'qd500-sim'), '--pty', '--baud', '9600'],
                            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
    try:
        path = proc.stdout.readline().strip()
        assert lib.qd500_open(path.encode(), ctypes.byref(reader)) == 0
        buf, n = ctypes.create_string_buffer(300), size()
        assert lib.qd500_select_card(reader, b'CPU') == 0
        assert lib.qd500_power_on(reader, buf, 300, ctypes.byref(n)) == 0

        def once() -> None:
            assert lib.qd500_transmit(reader, APDU, len(APDU), buf, 300, ctypes.byref(n)) == 0 and n.value == 10
        times = timed(once, runs)
        lib.qd500_close(reader)
        return times
    finally:
        proc.terminate()
        proc.wait(5)


def through_pcscd(runs: int) -> List[float]:
    card = Card(4)
    try:
        def once() -> None:
            assert card.ok(APDU)[1] == 0x9000
        return timed(once, runs)
    finally:
        card.close()


def insertion(runs: int) -> List[float]:
    with Scan() as scan:
        scan.wait(4, 'Card inserted', 0)
        times, pause = [], random.Random(7)
        for _ in range(runs):
            start = time.monotonic()
            sim(4, 'remove')
            scan.wait(4, 'Card removed', start)
            time.sleep(pause.uniform(0.3, 0.7))  # insertions fall anywhere in pcscd's 400 ms poll
            start = time.monotonic()
            sim(4, 'insert CPU')
            times.append(scan.wait(4, 'Card inserted', start) - start)
        return times


def main() -> None:
    load = os.getloadavg()[0]
    plain, pcsc = direct(RUNS), through_pcscd(RUNS)
    print('== round trip of GET CHALLENGE at 9600 baud (load average %.2f)' % load)
    print(describe('qd500_transmit', plain))
    print(describe('pyscard + pcscd + driver', pcsc))
    print('ratio of medians: %.2f' % (statistics.median(pcsc) / statistics.median(plain)))
    print('== insertion to pcsc_scan reporting it')
    print(describe('insert -> "Card inserted"', insertion(20)))


if __name__ == '__main__':
    main()
