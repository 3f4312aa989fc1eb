"""Memory cards: an SLE4442 with its code, protection and lock; AT24 and
AT88SC cards."""

from __future__ import annotations

import pytest

import qd500
from qd500.testing import Simulator

PSC = bytes.fromhex("A1B2C3")
WRONG = bytes.fromhex("000000")


@pytest.mark.qd500_scenario({"card": {"type": "S4442", "psc": PSC.hex()}})
def test_sle4442_code_protection_and_lock(reader: qd500.Reader, qd500_sim: Simulator) -> None:
    reader.select_card("SLE4442")  # the name people use, as the table has it beside S4442
    atr = reader.power_on()
    assert reader.read_memory(0, 4) == atr
    with pytest.raises(qd500.WrongCode) as raised:
        reader.write_memory(0x40, b"\x01")
    assert raised.value.tries_left is None
    reader.present_code(PSC)
    data = bytes([0, 1, 0, 0xFF, 0])
    reader.write_memory(0x40, data)
    assert reader.read_memory(0x40, len(data)) == data

    assert reader.read_protection(0, 8) == [True] * 4 + [False] * 4
    reader.protect(0x10, reader.read_memory(0x10, 2))
    assert reader.read_protection(0x10, 3) == [True, True, False]

    reader.change_code(WRONG)
    reader.power_off()
    reader.power_on()
    with pytest.raises(qd500.WrongCode) as raised:
        reader.present_code(PSC)
    assert (raised.value.status, raised.value.tries_left) == ("31", None)
    reader.present_code(WRONG)

    for _ in range(3):
        with pytest.raises(qd500.WrongCode) as raised:
            reader.present_code(PSC)
        assert type(raised.value) is qd500.WrongCode
    with pytest.raises(qd500.CodeLocked) as locked:
        reader.present_code(WRONG)
    assert (locked.value.result, locked.value.tries_left) == (33, 0)


@pytest.mark.qd500_scenario({"card": {"type": "AT24C16"}})
def test_at24_whole_card_round_trip_with_zero_bytes(reader: qd500.Reader) -> None:
    size = qd500.card_size("AT24C16")
    image = bytes(i % 7 and i % 256 for i in range(size))
    reader.at24_write(0, image)
    assert reader.at24_read(0, size) == image
    reader.select_card("AT24C16")
    reader.power_on()
    reader.write_memory(size - 3, b"\0\0\0")
    assert reader.read_memory(size - 4, 4) == image[-4:-3] + b"\0\0\0"
    assert reader.read_memory(0, 0) == b""


@pytest.mark.qd500_scenario({"card": {"type": "AT88SC102A"}})
def test_at88_code_erase_and_fuse(reader: qd500.Reader) -> None:
    reader.select_card("AT88SC102A")
    reader.power_on()
    with pytest.raises(qd500.WrongCode):
        reader.at88_verify(0x0A, b"\x12\x34")
    reader.at88_verify(0x0A, b"\xFF\xFF")
    reader.write_memory(0x20, b"\x00\x11")
    reader.at88_erase(0x20, 2)
    assert reader.read_memory(0x20, 2) == b"\xFF\xFF"
    reader.write_memory(0x02, b"\x5A")
    reader.at88_personalise(0x0A)
    with pytest.raises(qd500.ReaderError) as raised:
        reader.write_memory(0x02, b"\x00")
    assert raised.value.result == 32
