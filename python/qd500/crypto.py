"""DES, two-key triple-DES, key diversity and PIN blocks, on bytes (no reader)."""

from __future__ import annotations

from ctypes import create_string_buffer
from typing import Callable

from . import _native
from .errors import error_for
from .reader import BytesLike, as_bytes, as_text


def _sized(value: object, what: str, *sizes: int) -> bytes:
    data = as_bytes(value, what)
    if len(data) not in sizes:
        raise ValueError(f"{what} must be {' or '.join(map(str, sizes))} bytes, not {len(data)}")
    return data


def _check(result: int) -> None:
    if result != 0:
        raise error_for(result, "", "")


def _block(fn: Callable[..., int], key: BytesLike, key_size: int, data: BytesLike, out_size: int = 8) -> bytes:
    out = create_string_buffer(out_size)
    _check(fn(_sized(key, "key", key_size), _sized(data, "data", 8), out))
    return out.raw


def des_encrypt(key: BytesLike, block: BytesLike) -> bytes:
    """One 8-byte block under an 8-byte DES key."""
    return _block(_native.lib().qd500_des_encrypt, key, 8, block)


def des_decrypt(key: BytesLike, block: BytesLike) -> bytes:
    return _block(_native.lib().qd500_des_decrypt, key, 8, block)


def triple_des_encrypt(key: BytesLike, block: BytesLike) -> bytes:
    """One 8-byte block under a 16-byte two-key triple-DES key (K1 K2 K1)."""
    return _block(_native.lib().qd500_3des_encrypt, key, 16, block)


def triple_des_decrypt(key: BytesLike, block: BytesLike) -> bytes:
    return _block(_native.lib().qd500_3des_decrypt, key, 16, block)


def diversify(key: BytesLike, data: BytesLike) -> bytes:
    """The 16-byte key diversified from a 16-byte master key by 8 bytes of data."""
    return _block(_native.lib().qd500_diversify, key, 16, data, 16)


def pin_block(pin: str, pan: str, key: BytesLike) -> bytes:
    """The ISO 9564-1 format-0 PIN block of pin (4 to 12 digits) and the
    account number pan, encrypted under an 8-byte DES or 16-byte triple-DES key."""
    secret = _sized(key, "key", 8, 16)
    out = create_string_buffer(8)
    _check(_native.lib().qd500_pin_block(as_text(pin, "pin"), as_text(pan, "pan"), secret, len(secret), out))
    return out.raw


def pin_from_block(block: BytesLike, pan: str, key: BytesLike) -> str:
    """The PIN digits of a format-0 block of the account number pan."""
    secret = _sized(key, "key", 8, 16)
    pin = create_string_buffer(13)
    fn = _native.lib().qd500_pin_from_block
    _check(fn(_sized(block, "block", 8), as_text(pan, "pan"), secret, len(secret), pin, len(pin)))
    return pin.value.decode("ascii")
