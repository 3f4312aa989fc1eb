"""The reader itself: ports, device commands, time-out, trace, a failed line
and reopening it."""

from __future__ import annotations

import time
from pathlib import Path

import pytest

import qd500
from qd500.testing import Simulator


def test_port_by_com_number_and_path(qd500_sim: Simulator, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv("QD500_COM7", qd500_sim.port)
    ports: list[int | str | Path] = [7, "COM7", Path(qd500_sim.port)]
    for port in ports:
        with qd500.Reader(port) as r:
            assert r.version() == "QD500-SIM V1.0"
    assert r.closed and r.port == ""
    with pytest.raises(ValueError):
        r.version()


@pytest.mark.qd500_scenario({"device": {"version": "V 2.1", "status": ["01", "00", "42"]}})
def test_device_commands(reader: qd500.Reader, qd500_sim: Simulator, tmp_path: Path) -> None:
    assert reader.version() == "V 2.1"
    assert reader.device_status() == b"\x01\x00\x42"
    with pytest.deprecated_call():
        assert reader.status() == b"\x01\x00\x42"
    assert reader.timeout == 10  # the library's own default
    reader.set_trace(tmp_path / "trace.log")
    reader.set_device_no(42)
    reader.set_trace(None)
    assert (tmp_path / "trace.log").stat().st_size > 0
    assert "device 66" in qd500_sim.dump()  # the number travels as BCD
    reader.eject()
    with pytest.raises(qd500.NoCard):
        reader.power_on()


@pytest.mark.qd500_scenario({"faults": [{"kind": "hangup", "command": "54", "times": 1}]})
def test_a_failed_line_fails_every_call_until_reopened(reader: qd500.Reader) -> None:
    reader.timeout = 2
    assert reader.timeout == 2
    for _ in range(2):
        with pytest.raises(qd500.LineError):
            reader.select_card("CPU")
    # The simulator offers a new line half a second after the hang-up.
    deadline = time.monotonic() + 5
    while True:
        try:
            reader.reopen()
            break
        except qd500.PortError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)
    reader.select_card("CPU")
