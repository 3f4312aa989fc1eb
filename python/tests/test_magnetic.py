"""The magnetic head: reads, unreadable tracks, writes, a swipe the test gives."""

from __future__ import annotations

import threading

import pytest

import qd500
from qd500.testing import Simulator


@pytest.mark.qd500_scenario({"magnetic": {"track2": "6212345678901234567=3012", "track3": None}})
def test_read_tracks_marks_the_unreadable(reader: qd500.Reader) -> None:
    assert reader.read_tracks() == qd500.Tracks("6212345678901234567=3012", "", False, True)
    assert reader.read_tracks(track3=False) == qd500.Tracks("6212345678901234567=3012")


def test_written_tracks_are_read_back(reader: qd500.Reader) -> None:
    reader.mag_setting("b")
    assert qd500.mag_setting_letters() == "ABCDKRZ"
    reader.write_tracks(track2="1234567890=99")
    reader.write_tracks(track3="000111222", prefix=True)
    assert reader.read_tracks() == qd500.Tracks("1234567890=99", "000111222")


@pytest.mark.qd500_scenario({"magnetic": {"swipe": "never"}})
def test_read_waits_for_the_swipe(reader: qd500.Reader, qd500_sim: Simulator) -> None:
    got: list[qd500.Tracks] = []
    waiting = threading.Thread(target=lambda: got.append(reader.read_tracks()))
    waiting.start()
    try:
        qd500_sim.swipe("4000123412341234=2512", None)
    finally:
        waiting.join(10)
    assert got == [qd500.Tracks("4000123412341234=2512", "", False, True)]
