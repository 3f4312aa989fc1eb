"""The library's lookup, its card-type table, and the DES helpers on bytes."""

from __future__ import annotations

import dataclasses
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import qd500

KEY = bytes.fromhex("0123456789ABCDEF")
KEY2 = bytes.fromhex("FEDCBA9876543210")
PAN = "4000001234567899"


@pytest.mark.parametrize(
    "beside, system, named, found",
    [
        ("libqd500.so", None, None, "0.2.0"),
        (None, "libqd500.so.0", None, "0.2.0"),  # as a Debian package installs it
        (None, "libqd500.so.0", "/nonexistent/libqd500.so", "OSError"),  # no fallback past QD500_LIBRARY
    ],
    ids=["beside", "system", "named"],
)
def test_library_lookup(tmp_path: Path, beside: str | None, system: str | None, named: str | None, found: str) -> None:
    built = os.environ["QD500_LIBRARY"]
    package = tmp_path / "site" / "qd500"
    shutil.copytree(Path(qd500.__file__).parent, package)
    if beside:
        (package / beside).symlink_to(built)
    (tmp_path / "lib").mkdir()
    if system:
        (tmp_path / "lib" / system).symlink_to(built)
    env = {k: v for k, v in os.environ.items() if k != "QD500_LIBRARY"}
    env.update(PYTHONPATH=str(tmp_path / "site"), LD_LIBRARY_PATH=str(tmp_path / "lib"))
    if named:
        env["QD500_LIBRARY"] = named
    script = "import qd500\ntry: print(qd500.library_version())\nexcept OSError: print('OSError')"
    run = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=30)
    assert run.stdout.strip() == found, run.stderr


def test_card_info_is_the_librarys_table() -> None:
    s4442 = qd500.card_info("s4442")
    assert s4442 == qd500.CardInfo(
        "S4442",
        0x42,
        qd500.CardFamily.SLE4442,
        256,
        3,
        3,
        32,
        qd500.CardFeature.MEMORY
        | qd500.CardFeature.PRESENT_CODE
        | qd500.CardFeature.CHANGE_CODE
        | qd500.CardFeature.READ_PROTECTION
        | qd500.CardFeature.PROTECT,
        "SLE4442",
    )
    # The name people use is taken too, in any case.
    assert qd500.card_info("sle4442") == s4442
    with pytest.raises(dataclasses.FrozenInstanceError):
        s4442.code_length = 2  # type: ignore[misc]
    with pytest.raises(ValueError) as refused:
        qd500.card_info("S4443")
    assert '"S4443"' in str(refused.value) and "S4442 (SLE4442)" in str(refused.value)
    types = qd500.card_types()
    assert len(types) == 17 and types[0].name == "CPU" and qd500.card_info("at88sc1604a") in types
    assert all(qd500.card_size(t.name) == t.memory_size for t in types)


def test_des_and_triple_des() -> None:
    cipher = qd500.des_encrypt(KEY, b"Now is t")
    assert cipher == bytes.fromhex("3FA40E8A984D4815")
    assert qd500.des_decrypt(KEY, bytearray(cipher)) == b"Now is t"
    # K1 K2 K1: encrypt, decrypt, encrypt.
    block = bytes(range(8))
    ede = qd500.des_encrypt(KEY, qd500.des_decrypt(KEY2, qd500.des_encrypt(KEY, block)))
    assert qd500.triple_des_encrypt(KEY + KEY2, block) == ede
    assert qd500.triple_des_decrypt(KEY + KEY2, ede) == block
    # The left half from the data, the right half from its complement.
    data = bytes.fromhex("1122334455667788")
    complement = bytes(b ^ 0xFF for b in data)
    expected = qd500.triple_des_encrypt(KEY + KEY2, data) + qd500.triple_des_encrypt(KEY + KEY2, complement)
    assert qd500.diversify(KEY + KEY2, data) == expected
    with pytest.raises(ValueError):
        qd500.des_encrypt(KEY + KEY2, block)
    with pytest.raises(ValueError):
        qd500.triple_des_encrypt(KEY, block)


def test_pin_block_format_0() -> None:
    clear = bytes.fromhex("041234FFFFFFFFFF")
    account = bytes.fromhex("0000" + PAN[-13:-1])
    expected = qd500.des_encrypt(KEY, bytes(a ^ b for a, b in zip(clear, account)))
    assert qd500.pin_block("1234", PAN, KEY) == expected
    assert qd500.pin_from_block(expected, PAN, KEY) == "1234"
    assert qd500.pin_from_block(qd500.pin_block("123456789012", PAN, KEY + KEY2), PAN, KEY + KEY2) == "123456789012"
    with pytest.raises(qd500.ProtocolError):
        qd500.pin_from_block(expected, "4000009999999999", KEY)
    with pytest.raises(ValueError):
        qd500.pin_block("12a4", PAN, KEY)
