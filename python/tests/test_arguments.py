"""Wrong argument types and sizes are refused before anything is sent: the
simulator's frame log shows that nothing arrived."""

from __future__ import annotations

from typing import Callable

import pytest

import qd500
from qd500.testing import Simulator

from conftest import host_frames

BAD_CALLS: list[tuple[str, Callable[[qd500.Reader], object], type]] = [
    # Python's own checks: without them ctypes would wrap the number, cut
    # the text at its NUL, or raise an error of its own.
    ("address past 32 bits", lambda r: r.read_memory(2**32, 4), ValueError),
    ("time-out below zero", lambda r: setattr(r, "timeout", -1), ValueError),
    ("text as an APDU", lambda r: r.transmit("00A40000023F00"), TypeError),  # type: ignore[arg-type]
    ("float address", lambda r: r.read_protection(1.0, 4), TypeError),  # type: ignore[arg-type]
    ("NUL in a card type", lambda r: r.select_card("S4442\0CPU"), ValueError),
    ("NUL in a track", lambda r: r.write_tracks("1234\0" + "5" * 2000), ValueError),
    ("non-ASCII track", lambda r: r.write_tracks("１２３"), ValueError),
    ("two setting letters", lambda r: r.mag_setting("AB"), ValueError),
    # The library's checks, raised as ArgumentError, a ValueError.
    ("APDU shorter than its header", lambda r: r.transmit(b"\x00\xA4\x00"), ValueError),
    ("unknown card type", lambda r: r.select_card("S9999"), ValueError),
    ("no track asked for", lambda r: r.read_tracks(False, False), ValueError),
]


def test_bad_arguments_send_nothing(reader: qd500.Reader, qd500_sim: Simulator) -> None:
    for name, call, error in BAD_CALLS:
        with pytest.raises(error):
            call(reader)
        assert host_frames(qd500_sim) == [], name
    reader.close()
    with pytest.raises(ValueError):
        reader.power_on()
    assert host_frames(qd500_sim) == []


@pytest.mark.parametrize(
    "args, error",
    [((3.0,), TypeError), ((0,), ValueError), ((1000,), ValueError), (("\0",), ValueError), (("COM1", "5"), TypeError)],
)
def test_bad_ports_and_time_outs(args: tuple[object, ...], error: type) -> None:
    with pytest.raises(error):
        qd500.Reader(*args)  # type: ignore[arg-type]
