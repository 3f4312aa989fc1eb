"""Readers across the network, against Debian's ser2net on loopback in front
of a simulator's pty: raw TCP (a tcp accepter) and RFC 2217 (a
telnet(rfc2217) accepter), through the handle API (the Python package and
the CLI), the drop-in library with QD500_COM<n> naming the port, and the
PC/SC driver in a private pcscd; and the server killed, restarted and busy.

QD500_BUILD names the build (its libqd500.so, libqd500dll.so, qd500-sim,
qd500, libqd500-ifd.so); the tree's python/ is on sys.path."""

from __future__ import annotations

import ctypes
import os
import pty
import select
import shutil
import subprocess
import tempfile
import threading
import time
import tty
from typing import Iterator

import pytest

from netsupport import BUILD, CLI, Ser2net, pcscd, wait_free
import qd500
from qd500.testing import Simulator


@pytest.fixture
def sim() -> Iterator[Simulator]:
    with Simulator() as s:
        yield s


@pytest.fixture
def server(sim: Simulator) -> Iterator[Ser2net]:
    if shutil.which("ser2net") is None:
        pytest.fail("ser2net is not installed (scripts/install-deps.sh installs it)")
    work = tempfile.mkdtemp(prefix="qd500-ser2net-")
    s = Ser2net(sim.port, work)
    yield s
    s.kill()
    shutil.rmtree(work, ignore_errors=True)


def test_the_handle_api_and_the_cli_both_ways(sim: Simulator, server: Ser2net) -> None:
    for url in server.urls():
        wait_free(url)
        with qd500.Reader(url, timeout=3) as reader:
            reader.select_card("CPU")
            assert reader.power_on()[0] == 0x3B
            answer = reader.transmit(bytes.fromhex("00A40000023F00"), get_response=True)
            assert answer.sw == 0x9000 and b"1PAY.SYS.DDF01" in answer.data
            assert reader.read_tracks(track3=False).track2
        sim.insert("AT24C16")
        wait_free(url)
        with qd500.Reader(url, timeout=3) as reader:
            reader.select_card("AT24C16")
            reader.power_on()
            data = bytes(range(256)) * 2  # 0xFF among them
            reader.write_memory(0, data)
            assert reader.read_memory(0, len(data)) == data
        sim.insert("CPU")
        wait_free(url)
        cli = subprocess.run([CLI, "-p", url, "status"], capture_output=True, text=True, timeout=30)
        assert cli.returncode == 0 and "card: present" in cli.stdout, cli.stderr


def test_the_drop_in_library_through_qd500_com(sim: Simulator, server: Ser2net) -> None:
    dll = ctypes.CDLL(os.path.join(BUILD, "libqd500dll.so"))
    msg, sw, resp = ctypes.create_string_buffer(64), ctypes.create_string_buffer(8), ctypes.create_string_buffer(600)
    for url in server.urls():
        wait_free(url)
        os.environ["QD500_COM9"] = url
        # The session: power on, an APDU (GET CHALLENGE).
        assert dll.gOpenComIC(9, msg) == 0, msg.value
        atr = ctypes.create_string_buffer(508)
        assert dll.gSetCardType(b"CPU", msg) == 0, msg.value
        assert dll.gCardPowerOn(atr, msg) == 0, msg.value
        assert atr.value.startswith(b"3B"), atr.value
        record = b"".join(f.ljust(3, b"\0") for f in (b"00", b"84", b"00", b"00", b"08")) + b"\0"
        assert dll.gCPUCommand(record, sw, resp, msg) == 0, msg.value
        assert sw.value == b"9000" and len(resp.value) == 16, (sw.value, resp.value)
        dll.gCloseComIC(msg)
        wait_free(url)
        # The one-shot calls open the port of their own: a magnetic read, an AT24 write and read.
        track2 = ctypes.create_string_buffer(1025)
        assert dll.gMagCard_ReadData2(9, track2, msg) == 0, msg.value
        assert track2.value.startswith(b"6212345678901234567"), track2.value
        sim.insert("AT24C16")
        wait_free(url)
        assert dll.gAppMemAT24_WriteData(9, 0, b"00", b"10", b"\x01\x7F\xFF\x80", ctypes.c_char(3), msg) == 0, msg.value
        data = ctypes.create_string_buffer(8)
        wait_free(url)
        assert dll.gAppMemAT24_ReadData(9, 0, b"00", b"10", 4, data, ctypes.c_char(3), msg) == 0, msg.value
        assert data.raw[:4] == b"\x01\x7F\xFF\x80", data.raw
        sim.insert("CPU")


def test_0xff_both_ways_through_the_raw_pass_through() -> None:
    """The drop-in raw calls across RFC 2217 to an echo on the far tty."""
    master, slave = pty.openpty()
    tty.setraw(slave)
    work = tempfile.mkdtemp(prefix="qd500-echo-")
    stop = threading.Event()

    def echo() -> None:
        while not stop.is_set():
            ready, _, _ = select.select([master], [], [], 0.1)
            if ready:
                try:
                    os.write(master, os.read(master, 1024))
                except OSError:
                    return

    echoing = threading.Thread(target=echo, daemon=True)
    echoing.start()
    server = Ser2net(os.ttyname(slave), work)
    try:
        os.environ["QD500_COM9"] = server.urls()[1]
        dll = ctypes.CDLL(os.path.join(BUILD, "libqd500dll.so"))
        msg = ctypes.create_string_buffer(64)
        assert dll.gOpenComIC(9, msg) == 0, msg.value
        sent = b"\x1b=\xff\x01\xff\xff\x7f\x03"
        assert dll.AsynSendData(sent, len(sent)) == len(sent)
        back, n = ctypes.create_string_buffer(1100), ctypes.c_short()
        assert dll.sReadByEndChar(ctypes.c_char(3), ctypes.c_char(3), back, ctypes.byref(n)) > 0
        assert back.raw[:n.value] == sent
        dll.gCloseComIC(msg)
    finally:
        server.kill()
        stop.set()
        echoing.join()
        os.close(master)
        os.close(slave)
        shutil.rmtree(work, ignore_errors=True)


def test_the_pcsc_driver_in_a_private_pcscd(server: Ser2net) -> None:
    with pcscd(server.urls()[1]) as daemon:
        assert daemon.served(10)
        # ser2net gone: the reader's card goes; back: the driver reopens its line by itself.
        server.kill()
        assert not daemon.served(1)
        server.start()
        started = time.monotonic()
        assert daemon.served(15)
        print(f"ser2net restart to the PC/SC reader's next APDU: {1000 * (time.monotonic() - started):.0f} ms")


def test_the_server_killed_during_a_call_restarted_and_busy() -> None:
    work = tempfile.mkdtemp(prefix="qd500-ser2net-")
    with Simulator({"magnetic": {"swipe": "never"}}) as sim:
        server = Ser2net(sim.port, work)
        try:
            url = server.urls()[1]
            with qd500.Reader(url, timeout=10) as reader:
                reader.select_card("CPU")
                # Killed while a read waits for a swipe: the call fails at once.
                killer = threading.Timer(0.3, server.kill)
                killer.start()
                start = time.monotonic()
                with pytest.raises(qd500.LineError):
                    reader.read_tracks()
                assert time.monotonic() - start < 1.5  # not the 10 s time-out
                killer.join()
                with pytest.raises(qd500.PortError):
                    reader.reopen()
                server.start()
                started = time.monotonic()
                reader.reopen()
                reader.select_card("CPU")
                reader.power_on()
                print(f"restart to a call after reopen: {1000 * (time.monotonic() - started):.1f} ms")
                # A second client of the busy accepter is told so, as the open's reason.
                busy = subprocess.run([CLI, "-p", url + "?timeout=1", "status"], capture_output=True, text=True,
                                      timeout=30)
                assert busy.returncode == 1 and "Port already in use" in busy.stderr, busy.stderr
        finally:
            server.kill()
            shutil.rmtree(work, ignore_errors=True)
