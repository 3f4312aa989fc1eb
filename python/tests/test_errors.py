"""Each exception class, raised by the condition it names, with the
reader's result, status code and text."""

from __future__ import annotations

import threading
import time
from typing import Any, Callable

import pytest

import qd500
from qd500.testing import Simulator


@pytest.fixture
def qd500_scenario(request: pytest.FixtureRequest) -> dict[str, Any] | None:
    # The scenario of each parametrized case; the marker's elsewhere.
    return getattr(request, "param", None)


def _slow(reader: qd500.Reader) -> None:
    reader.timeout = 0.5
    reader.select_card("CPU")


@pytest.mark.parametrize(
    "qd500_scenario, call, error, result, status",
    [
        ({"card": {"type": "none"}}, qd500.Reader.power_on, qd500.NoCard, 21, "21"),
        ({"faults": [{"kind": "delay", "delay_ms": 1500, "times": 1}]}, _slow, qd500.Timeout, -3, ""),
        ({"faults": [{"kind": "hangup", "times": 1}]}, qd500.Reader.power_on, qd500.LineError, -4, ""),
        ({"faults": [{"kind": "status", "status": "AB"}]}, qd500.Reader.power_on, qd500.ProtocolError, -5, ""),
        ({}, lambda r: r.select_card("NOSUCH"), qd500.ArgumentError, -1, ""),
    ],
    indirect=["qd500_scenario"],
    ids=["NoCard", "Timeout", "LineError", "ProtocolError", "ArgumentError"],
)
def test_condition_raises_its_class(
    reader: qd500.Reader,
    call: Callable[[qd500.Reader], object],
    error: type[qd500.ReaderError],
    result: int,
    status: str,
) -> None:
    with pytest.raises(error) as raised:
        call(reader)
    assert (raised.value.result, raised.value.status) == (result, status)
    assert raised.value.message


@pytest.mark.qd500_scenario({"card": {"type": "none"}})
def test_str_is_english_with_the_readers_text(reader: qd500.Reader) -> None:
    with pytest.raises(qd500.ReaderError) as raised:
        reader.power_on()
    assert str(raised.value) == "result 21: no card in the reader (无卡!)"


def test_a_com_number_names_its_device(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv("QD500_COM7", "/dev/qd500-no-such-tty")
    with pytest.raises(qd500.PortError) as raised:
        qd500.Reader("7")
    assert raised.value.filename == "COM7 (/dev/qd500-no-such-tty)"


def test_port_missing_or_busy(qd500_sim: Simulator) -> None:
    # Caught as any other failure to open a port is; a time-out likewise.
    with pytest.raises(OSError) as raised:
        qd500.Reader("/dev/qd500-no-such-tty")
    assert isinstance(raised.value, qd500.PortError)
    assert "No such file" in raised.value.message
    assert (raised.value.filename, raised.value.strerror) == ("/dev/qd500-no-such-tty", "No such file or directory")
    assert str(raised.value).startswith("result -2: cannot open /dev/qd500-no-such-tty: No such file or directory (")
    assert raised.value.errno is None and raised.value.result == -2
    assert issubclass(qd500.Timeout, TimeoutError)
    with qd500.Reader(qd500_sim.port):
        with pytest.raises(qd500.PortError):
            qd500.Reader(qd500_sim.port)


@pytest.mark.qd500_scenario({"magnetic": {"swipe": "never"}})
def test_cancel_ends_a_waiting_read(reader: qd500.Reader) -> None:
    timer = threading.Timer(0.2, reader.cancel)
    started = time.monotonic()
    timer.start()
    try:
        with pytest.raises(qd500.Cancelled):
            reader.read_tracks()
    finally:
        timer.cancel()
    assert time.monotonic() - started < 2
    assert reader.version()
