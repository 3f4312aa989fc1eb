"""A CPU card through the reader: ATR, APDUs with and without their
follow-ups, PIN checks, a personalisation step."""

from __future__ import annotations

import pytest

import qd500

SELECT_MF = bytes.fromhex("00A40000023F00")
SELECT_EF_0015 = bytes.fromhex("00A40000020015")
READ_64 = bytes.fromhex("00B0000040")
KEY_01 = bytes.fromhex("123456")


@pytest.fixture
def cpu(reader: qd500.Reader) -> qd500.Reader:
    reader.select_card("CPU")
    assert reader.power_on() == bytes.fromhex("3B680000514435303053494D")
    return reader


def test_transmit_follows_61xx_and_6cxx_only_when_asked(cpu: qd500.Reader) -> None:
    plain = cpu.transmit(SELECT_MF)
    assert (plain.data, plain.sw1) == (b"", 0x61)
    fci = cpu.get_response(plain.sw2)
    assert fci.sw == 0x9000 and b"1PAY.SYS.DDF01" in fci.data
    assert cpu.transmit(bytearray(SELECT_MF), get_response=True) == fci

    cpu.transmit(SELECT_EF_0015, get_response=True)
    assert cpu.transmit(READ_64) == qd500.Response(b"", 0x6C20)
    exact = cpu.transmit(READ_64, get_response=True)
    assert (exact.sw, exact.data) == (0x9000, b"QD500 SIM CARD 0001".ljust(32, b"\0"))


def test_power_off_ends_the_session(cpu: qd500.Reader) -> None:
    cpu.power_off()
    with pytest.raises(qd500.ReaderError) as raised:
        cpu.transmit(SELECT_MF)
    assert (raised.value.result, raised.value.status) == (23, "23")


def test_verify_pin_tells_the_tries_left_and_the_block(cpu: qd500.Reader) -> None:
    cpu.transmit(SELECT_MF, get_response=True)
    with pytest.raises(qd500.WrongCode) as raised:
        cpu.verify_pin(b"\0\0\0", ref=1)
    assert (raised.value.tries_left, raised.value.sw, raised.value.result) == (2, 0x63C2, 31)
    assert "63C2" in str(raised.value)
    cpu.verify_pin(KEY_01, ref=1)
    # The reader's own PIN command says no more than "wrong".
    with pytest.raises(qd500.WrongCode) as raised:
        cpu.check_pin(b"\0\0\0", ref=1)
    assert (raised.value.tries_left, raised.value.status) == (None, "31")
    cpu.check_pin(KEY_01, ref=1)
    for left in (2, 1, 0):
        with pytest.raises(qd500.WrongCode) as raised:
            cpu.verify_pin(b"\0\0\0", ref=1)
        assert raised.value.tries_left == left
    with pytest.raises(qd500.CodeLocked) as locked:
        cpu.verify_pin(KEY_01, ref=1)
    assert (locked.value.tries_left, locked.value.sw) == (0, 0x6983)


def test_personalise_step(cpu: qd500.Reader) -> None:
    answer = cpu.personalise(qd500.Personalisation.SELECT_FILE, bytes.fromhex("3F00"))
    assert answer.sw == 0x9000 and b"1PAY.SYS.DDF01" in answer.data


def test_observer_sees_each_exchange_until_removed(cpu: qd500.Reader) -> None:
    seen: list[tuple[qd500.Direction, bytes]] = []

    def observe(direction: qd500.Direction, frame: bytes) -> None:
        seen.append((direction, frame))

    cpu.add_observer(observe)
    cpu.transmit(SELECT_MF)
    assert [d for d, _ in seen] == [qd500.Direction.SENT, qd500.Direction.RECEIVED]
    assert SELECT_MF.hex().upper().encode() in seen[0][1]
    cpu.remove_observer(observe)
    cpu.transmit(SELECT_MF)
    assert len(seen) == 2
