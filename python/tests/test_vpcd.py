"""A card emulator in the CPU slot through vpcd's protocol: the tests' own
small vpcd card (tests/support/vpcd_card.py) behind the simulator, driven
through the package (the handle API)."""

from __future__ import annotations

import os
import subprocess
import sys
import time
from typing import Callable, Iterator

import pytest

import qd500
from qd500.testing import Simulator

CARD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "support", "vpcd_card.py")
T0_ATR = bytes.fromhex("3B8800") + b"VPCDCARD"  # TD1: T=0
T1_ATR = bytes.fromhex("3B8801") + b"VPCDCARD" + bytes.fromhex("9C")  # TD1: T=1, then TCK
AUTHENTICATE = bytes.fromhex("0088000004 01020304".replace(" ", ""))


def until(check: Callable[[], bool], what: str, seconds: float = 5) -> None:
    deadline = time.monotonic() + seconds
    while not check():
        assert time.monotonic() < deadline, what
        time.sleep(0.02)


def card_in(sim: Simulator) -> bool:
    return "behind vpcd" in sim.dump()


@pytest.fixture
def sim() -> Iterator[Simulator]:
    with Simulator(vpcd_listen="127.0.0.1:0") as s:
        yield s


def start_card(*args: str) -> subprocess.Popen[str]:
    return subprocess.Popen([sys.executable, CARD, *args], stdout=subprocess.PIPE, text=True)


@pytest.fixture
def card(sim: Simulator, request: pytest.FixtureRequest) -> Iterator[subprocess.Popen[str]]:
    """The tests' card connected to sim (T=1 for the parameter "t1")."""
    process = start_card("--connect", sim.vpcd_address, *(["--t1"] if request.param == "t1" else []))
    try:
        until(lambda: card_in(sim), "the card never came into the slot")
        yield process
    finally:
        process.kill()
        process.wait()


@pytest.mark.parametrize("card", ["t0"], indirect=True)
def test_a_t0_card_answers_a_case_4_command_by_get_response(sim: Simulator, card: subprocess.Popen[str]) -> None:
    with qd500.Reader(sim.port) as reader:
        reader.select_card("CPU")
        assert reader.power_on() == T0_ATR
        challenge = reader.transmit(bytes.fromhex("0084000008"))
        assert challenge.sw == 0x9000 and len(challenge.data) == 8
        announced = reader.transmit(AUTHENTICATE)
        assert announced.sw == 0x6104 and announced.data == b""
        # Held by the reader until fetched: the card itself knows no GET RESPONSE.
        fetched = reader.get_response(4)
        assert fetched.sw == 0x9000 and fetched.data == bytes.fromhex("04030201")
        assert reader.get_response(4).sw == 0x6D00


@pytest.mark.parametrize("card", ["t1"], indirect=True)
def test_a_t1_card_answers_a_case_4_command_whole(sim: Simulator, card: subprocess.Popen[str]) -> None:
    with qd500.Reader(sim.port) as reader:
        reader.select_card("CPU")
        assert reader.power_on() == T1_ATR
        whole = reader.transmit(AUTHENTICATE)
        assert whole.sw == 0x9000 and whole.data == bytes.fromhex("04030201")
        # 256 bytes asked: more than a reply frame carries.
        assert reader.transmit(bytes.fromhex("00B0000000")).sw == 0x6CFB
        assert reader.transmit(bytes.fromhex("00B00000FB")).data == bytes((i * 7 + 3) & 0xFF for i in range(251))


@pytest.mark.parametrize("card", ["t0"], indirect=True)
def test_a_card_that_leaves_is_removed(sim: Simulator, card: subprocess.Popen[str]) -> None:
    with qd500.Reader(sim.port) as reader:
        reader.select_card("CPU")
        reader.power_on()
        # It leaves in the middle of an APDU: no card, at once.
        started = time.monotonic()
        with pytest.raises(qd500.NoCard):
            reader.transmit(bytes.fromhex("80DE000000"))
        assert time.monotonic() - started < 2
        assert reader.device_status()[0] == 0
        # A second card comes and goes while nothing is asked of it.
        second = start_card("--connect", sim.vpcd_address)
        try:
            until(lambda: reader.device_status()[0] == 1, "the second card never came into the slot")
        finally:
            second.kill()
            second.wait()
        until(lambda: reader.device_status()[0] == 0, "the card that left is still in the slot")
        with pytest.raises(qd500.NoCard):
            reader.power_on()


def test_the_simulator_connects_to_a_card_that_listens() -> None:
    card = start_card("--listen", "127.0.0.1:0")
    try:
        assert card.stdout is not None
        address = card.stdout.readline().split()[1]
        with Simulator(vpcd_connect=address) as sim, qd500.Reader(sim.port) as reader:
            until(lambda: card_in(sim), "the simulator never connected to the card")
            reader.select_card("CPU")
            assert reader.power_on() == T0_ATR
    finally:
        card.kill()
        card.wait()
