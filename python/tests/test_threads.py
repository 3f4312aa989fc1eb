"""Readers on threads: two readers on two simulators at once, and one reader
shared by two threads, each getting its own call's result."""

from __future__ import annotations

import threading
import time
from typing import Callable

import pytest

import qd500
from qd500.testing import Simulator

CHALLENGE = bytes.fromhex("0084000008")
ROUNDS = 8


def _cpu_work(reader: qd500.Reader) -> None:
    reader.select_card("CPU")
    reader.power_on()
    for _ in range(ROUNDS):
        answer = reader.transmit(CHALLENGE)
        assert (len(answer.data), answer.sw) == (8, 0x9000)


def _memory_work(reader: qd500.Reader) -> None:
    reader.select_card("S4442")
    atr = reader.power_on()
    for _ in range(ROUNDS):
        assert reader.read_memory(0, 4) == atr


def _timed(*jobs: Callable[[], None]) -> float:
    """Runs the jobs on threads at once; their errors are raised here."""
    errors: list[BaseException] = []

    def run(job: Callable[[], None]) -> None:
        try:
            job()
        except BaseException as error:  # handed to the test's thread
            errors.append(error)

    threads = [threading.Thread(target=run, args=(job,)) for job in jobs]
    started = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    if errors:
        raise errors[0]
    return time.monotonic() - started


def test_two_readers_on_two_threads_at_once() -> None:
    with Simulator(baud=9600) as cpu_sim, Simulator({"card": {"type": "S4442"}}, baud=9600) as sle_sim:
        with qd500.Reader(cpu_sim.port) as cpu, qd500.Reader(sle_sim.port) as sle:
            alone = _timed(lambda: _cpu_work(cpu)) + _timed(lambda: _memory_work(sle))
            together = _timed(lambda: _cpu_work(cpu), lambda: _memory_work(sle))
    # Each call leaves the interpreter free while it waits on its line.
    assert together < 0.75 * alone, (together, alone)


@pytest.mark.qd500_scenario({"card": {"type": "S4442"}})
def test_a_shared_reader_gives_each_thread_its_own_result(reader: qd500.Reader) -> None:
    reader.select_card("S4442")
    atr = reader.power_on()
    stop = time.monotonic() + 1.0

    def refused() -> None:
        while time.monotonic() < stop:
            try:
                reader.read_protection(0, 64)  # past the protection memory: refused before sending
            except qd500.ReaderError as error:
                assert (error.result, error.status) == (-1, "")
                assert "bytes 0 to 63 run past the end of the S4442's 32 protected bytes" in error.message
            else:
                raise AssertionError("read_protection past the end succeeded")

    def served() -> None:
        while time.monotonic() < stop:
            assert reader.read_memory(0, 4) == atr

    _timed(refused, served)
