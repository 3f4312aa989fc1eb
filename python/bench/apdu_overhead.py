"""What the package adds to one APDU: Reader.transmit against the same
qd500_transmit called straight through ctypes, on the simulator at 9600
baud, the two interleaved so that drift in the machine's load hits both.

    QD500_LIBRARY=build/linux/libqd500.so QD500_SIM=build/linux/tools/sim/qd500-sim \\
        build/linux/python/venv/bin/python python/bench/apdu_overhead.py [ROUNDS [BAUD]]

BAUD 0 leaves the line unpaced, which shows the package's own cost in
microseconds.
"""

from __future__ import annotations

import ctypes
import os
import statistics
import sys
import time

import qd500
from qd500 import _native
from qd500.testing import Simulator

CHALLENGE = bytes.fromhex("0084000008")


def main() -> None:
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    baud = int(sys.argv[2]) if len(sys.argv) > 2 else 9600
    lib = _native.lib()
    with Simulator(baud=baud or None) as sim, qd500.Reader(sim.port) as reader:
        reader.select_card("CPU")
        reader.power_on()
        response = ctypes.create_string_buffer(_native.RESPONSE_MAX)
        length = ctypes.c_size_t()

        def package() -> None:
            assert reader.transmit(CHALLENGE).sw == 0x9000

        def direct() -> None:
            result = lib.qd500_transmit(
                reader.handle, CHALLENGE, len(CHALLENGE), response, len(response), ctypes.byref(length)
            )
            assert result == 0 and length.value == 10

        times: dict[str, list[float]] = {"package": [], "direct": []}
        for i in range(rounds):
            order = (("package", package), ("direct", direct)) if i % 2 else (("direct", direct), ("package", package))
            for name, call in order:
                started = time.perf_counter()
                call()
                times[name].append(time.perf_counter() - started)
    load = os.getloadavg()
    for name, values in times.items():
        median, mean = statistics.median(values) * 1e3, statistics.fmean(values) * 1e3
        print(f"{name:8} median {median:8.3f} ms  mean {mean:8.3f} ms")
    ratio = statistics.median(times["package"]) / statistics.median(times["direct"])
    mean_ratio = statistics.fmean(times["package"]) / statistics.fmean(times["direct"])
    line = f"{baud} baud" if baud else "unpaced"
    print(f"rounds {rounds} each, {line}; ratio package/direct: median {ratio:.4f}, mean {mean_ratio:.4f}")
    print(f"load average {load[0]:.2f} {load[1]:.2f} {load[2]:.2f} on {os.cpu_count()} cores")


if __name__ == "__main__":
    main()
