"""Times an APDU round trip (GET CHALLENGE, 8 bytes) through the handle API
on the simulator at 9600 baud, and unpaced for the bridge's own cost:
against its own CPU card, and through the vpcd bridge against the tests'
own vpcd card (T=0) on loopback. Prints the median and the 90th percentile
of each and what the bridge adds.

  QD500_BUILD=build/linux /usr/bin/python3 tests/sim/measure_vpcd.py [COUNT]"""
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.environ.get("QD500_BUILD", os.path.join(HERE, "..", "..", "build", "linux"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "python"))
os.environ.setdefault("QD500_LIBRARY", os.path.join(BUILD, "libqd500.so"))
os.environ.setdefault("QD500_SIM", os.path.join(BUILD, "tools", "sim", "qd500-sim"))

import qd500  # noqa: E402
from qd500.testing import Simulator  # noqa: E402

CARD = os.path.join(HERE, "..", "support", "vpcd_card.py")
APDU = bytes.fromhex("0084000008")


def times(port: str, count: int) -> list:
    with qd500.Reader(port) as reader:
        reader.select_card("CPU")
        reader.power_on()
        for _ in range(5):  # warm up
            reader.transmit(APDU)
        out = []
        for _ in range(count):
            start = time.perf_counter()
            assert reader.transmit(APDU).sw == 0x9000
            out.append((time.perf_counter() - start) * 1000)
        return out


def report(name: str, ms: list) -> float:
    median = statistics.median(ms)
    p90 = sorted(ms)[int(len(ms) * 0.9)]
    print(f"{name:28} median {median:6.2f} ms   p90 {p90:6.2f} ms   ({len(ms)} round trips)")
    return median


def compare(baud, count: int) -> None:
    print("at 9600 baud:" if baud else "unpaced:")
    with Simulator(baud=baud) as sim:
        own = report("simulator's own card", times(sim.port, count))
    with Simulator(baud=baud, vpcd_listen="127.0.0.1:0") as sim:
        card = subprocess.Popen([sys.executable, CARD, "--connect", sim.vpcd_address])
        try:
            deadline = time.monotonic() + 5
            while "behind vpcd" not in sim.dump():
                assert time.monotonic() < deadline, "the card never came into the slot"
                time.sleep(0.02)
            bridged = report("vpcd card through the bridge", times(sim.port, count))
        finally:
            card.kill()
            card.wait()
    print(f"the bridge adds {bridged - own:.2f} ms ({(bridged - own) / own * 100:.1f} %) to a round trip")


def main() -> None:
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 100
    compare(9600, count)
    compare(None, count)


if __name__ == "__main__":
    main()
