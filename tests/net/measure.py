"""Round trips across the network against the same on the pty, by hand:
qd500-sim --baud 9600 behind ser2net (chardelay off, tcp nodelay), each
family's median through the pty itself, socket:// and rfc2217://; then
eight readers, each on its own simulator behind one ser2net, in eight
threads against eight times one; then RFC 2217 plain and over TLS side by
side on one simulator: the open's median and each family's.

    QD500_BUILD=build/release python3 tests/net/measure.py [RUNS]
"""

from __future__ import annotations

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from netsupport import Pki, Ser2net, free_port  # noqa: E402

import qd500  # noqa: E402
from qd500.testing import Simulator  # noqa: E402

RUNS = int(sys.argv[1]) if len(sys.argv) > 1 else 15
FAMILIES = {
    "power on": lambda r: r.power_on(),
    "APDU with 61xx GET RESPONSE": lambda r: r.transmit(bytes.fromhex("00A40000023F00"), get_response=True),
    "magnetic read (track 2)": lambda r: r.read_tracks(track3=False),
}


def median_ms(reader: qd500.Reader, call) -> float:
    times = []
    for _ in range(RUNS):
        start = time.perf_counter()
        call(reader)
        times.append(1000 * (time.perf_counter() - start))
    return statistics.median(times)


def families(port: str) -> dict[str, float]:
    with qd500.Reader(port, timeout=5) as reader:
        reader.select_card("CPU")
        reader.power_on()
        return {name: median_ms(reader, call) for name, call in FAMILIES.items()}


def main() -> None:
    work = tempfile.mkdtemp(prefix="qd500-measure-")
    with Simulator(None, baud=9600) as sim:
        server = Ser2net(sim.port, work)
        try:
            rows = {"pty": families(sim.port)}
            for url in server.urls():
                rows[url.split(":")[0]] = families(url)
        finally:
            server.kill()
    print(f"{'family (9600 baud)':32} {'pty ms':>8} {'socket ms':>10} {'ratio':>6} {'rfc2217 ms':>11} {'ratio':>6}")
    for name in FAMILIES:
        pty = rows["pty"][name]
        print(f"{name:32} {pty:8.1f} {rows['socket'][name]:10.1f} {rows['socket'][name] / pty:6.3f} "
              f"{rows['rfc2217'][name]:11.1f} {rows['rfc2217'][name] / pty:6.3f}")

    # Eight readers through one ser2net, each with a simulator of its own.
    sims = [Simulator(None, baud=9600).start() for _ in range(8)]
    config = os.path.join(work, "eight.yaml")
    ports = [free_port() for _ in sims]
    with open(config, "w") as f:
        for i, (sim, port) in enumerate(zip(sims, ports)):
            f.write(f"connection: &r{i}\n  accepter: telnet(rfc2217),tcp(nodelay),127.0.0.1,{port}\n"
                    f"  connector: serialdev,{sim.port},9600n81,local\n  options:\n    chardelay: false\n")
    ser2net = subprocess.Popen(["ser2net", "-n", "-c", config], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(1)
        urls = [f"rfc2217://127.0.0.1:{port}" for port in ports]

        def work_on(url: str, seconds: list[float]) -> None:
            with qd500.Reader(url, timeout=5) as reader:
                reader.select_card("CPU")
                reader.power_on()
                start = time.perf_counter()
                for _ in range(RUNS):
                    reader.transmit(bytes.fromhex("00A40000023F00"), get_response=True)
                seconds.append(time.perf_counter() - start)

        one: list[float] = []
        work_on(urls[0], one)
        many: list[float] = []
        threads = [threading.Thread(target=work_on, args=(u, many)) for u in urls]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        print(f"8 readers through one ser2net in 8 threads: slowest {max(many):.3f} s against one alone "
              f"{one[0]:.3f} s (ratio {max(many) / one[0]:.3f}; one after another would take {8 * one[0]:.3f} s)")
    finally:
        ser2net.kill()
        ser2net.wait()
        for sim in sims:
            sim.stop()

    tls_against_plain(work)
    shutil.rmtree(work, ignore_errors=True)


def open_ms(url: str) -> float:
    """The open's median (a try ser2net turned away while it let the tty
    go is not counted)."""
    times = []
    while len(times) < RUNS:
        start = time.perf_counter()
        try:
            qd500.Reader(url, timeout=5).close()
        except qd500.PortError:
            time.sleep(0.05)
            continue
        times.append(1000 * (time.perf_counter() - start))
        time.sleep(0.05)
    return statistics.median(times)


def tls_against_plain(work: str) -> None:
    pki = Pki(os.path.join(work, "pki"))
    ssl = f"ssl(key={pki.path('server.key')},cert={pki.path('server.pem')})"
    with Simulator(None, baud=9600) as sim:
        server = Ser2net(sim.port, work, accepters={
            "plain": ("telnet(rfc2217),tcp(nodelay),127.0.0.1,{port}", ""),
            "tls": ("telnet(rfc2217)," + ssl + ",tcp(nodelay),127.0.0.1,{port}", "")})
        try:
            urls = {"plain": f"rfc2217://127.0.0.1:{server.ports['plain']}",
                    "tls": f"rfc2217+tls://127.0.0.1:{server.ports['tls']}?ca={pki.path('ca.pem')}"}
            opens = {name: open_ms(url) for name, url in urls.items()}
            calls = {name: families(url) for name, url in urls.items()}
        finally:
            server.kill()
    print(f"{'RFC 2217 at 9600 baud':32} {'plain ms':>9} {'TLS ms':>8} {'TLS - plain':>12}")
    print(f"{'open':32} {opens['plain']:9.1f} {opens['tls']:8.1f} {opens['tls'] - opens['plain']:12.1f}")
    for name in FAMILIES:
        plain, tls = calls["plain"][name], calls["tls"][name]
        print(f"{name:32} {plain:9.1f} {tls:8.1f} {tls - plain:12.1f}")


if __name__ == "__main__":
    main()
