"""The handle API's shared library: found once, every function declared."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from ctypes import CFUNCTYPE, POINTER, Structure, c_char, c_char_p, c_int, c_size_t, c_ubyte, c_uint, c_void_p

# Negative results of qd500.h.
E_PARAM = -1
E_OPEN = -2
E_TIMEOUT = -3
E_LINE = -4
E_PROTOCOL = -5
E_BUFFER = -6
E_CANCELLED = -7

ATR_MAX = 33
RESPONSE_MAX = 258
TRACK_MAX = 1024
VERSION_MAX = 128
TRACK2 = 1
TRACK3 = 2
SENT = 0
RECEIVED = 1

if sys.platform == "win32":
    LIBRARY_NAMES: tuple[str, ...] = ("qd500.dll",)
else:
    # The installed library answers to its SONAME; a build tree has the bare name.
    LIBRARY_NAMES = ("libqd500.so.0", "libqd500.so")


class CardInfo(Structure):
    """struct qd500_card_info; size is set to sizeof(CardInfo) before a call."""

    _fields_ = [
        ("size", c_size_t),
        ("name", c_char_p),
        ("code", c_uint),
        ("family", c_int),
        ("memory_size", c_uint),
        ("code_length", c_uint),
        ("code_tries", c_uint),
        ("protected_bytes", c_uint),
        ("features", c_uint),
        ("alias", c_char_p),
    ]


_Reader = c_void_p
_Bytes = c_char_p  # bytes in, string buffers out
_Size = c_size_t
_SizeOut = POINTER(c_size_t)
# qd500_observer: context, direction, bytes, length (__cdecl on every system).
OBSERVER = CFUNCTYPE(None, c_void_p, c_int, POINTER(c_ubyte), c_size_t)

# name: (restype, argtypes), as qd500.h declares them.
_SIGNATURES: dict[str, tuple[object, list[object]]] = {
    "qd500_version": (c_char_p, []),
    "qd500_strerror": (c_char_p, [c_int]),
    "qd500_status_message": (c_char_p, [c_char_p]),
    "qd500_open": (c_int, [c_char_p, POINTER(c_void_p)]),
    "qd500_close": (None, [_Reader]),
    "qd500_reopen": (c_int, [_Reader]),
    "qd500_port": (c_char_p, [_Reader]),
    "qd500_message": (c_char_p, [_Reader]),
    "qd500_status": (c_char_p, [_Reader]),
    "qd500_set_timeout_ms": (c_int, [_Reader, c_uint]),
    "qd500_set_trace": (c_int, [_Reader, c_char_p]),
    "qd500_cancel": (c_int, [_Reader]),
    "qd500_set_observer": (c_int, [_Reader, OBSERVER, c_void_p]),
    "qd500_select_card": (c_int, [_Reader, c_char_p]),
    "qd500_card_size": (c_int, [c_char_p]),
    "qd500_card_info": (c_int, [c_char_p, POINTER(CardInfo)]),
    "qd500_card_type_count": (c_int, []),
    "qd500_card_info_at": (c_int, [c_uint, POINTER(CardInfo)]),
    "qd500_power_on": (c_int, [_Reader, _Bytes, _Size, _SizeOut]),
    "qd500_power_off": (c_int, [_Reader]),
    "qd500_device_status": (c_int, [_Reader, _Bytes]),
    "qd500_eject": (c_int, [_Reader]),
    "qd500_set_device_no": (c_int, [_Reader, c_uint]),
    "qd500_version_text": (c_int, [_Reader, _Bytes, _Size, _SizeOut]),
    "qd500_transmit": (c_int, [_Reader, _Bytes, _Size, _Bytes, _Size, _SizeOut]),
    "qd500_transmit_get_response": (c_int, [_Reader, _Bytes, _Size, _Bytes, _Size, _SizeOut]),
    "qd500_get_response": (c_int, [_Reader, c_uint, _Bytes, _Size, _SizeOut]),
    "qd500_check_pin": (c_int, [_Reader, c_uint, _Bytes, _Size]),
    "qd500_personalise": (c_int, [_Reader, c_int, _Bytes, _Size, _Bytes, _Size, _SizeOut]),
    "qd500_read_memory": (c_int, [_Reader, c_uint, _Bytes, _Size]),
    "qd500_write_memory": (c_int, [_Reader, c_uint, _Bytes, _Size]),
    "qd500_present_code": (c_int, [_Reader, _Bytes, _Size]),
    "qd500_change_code": (c_int, [_Reader, _Bytes, _Size]),
    "qd500_read_protection": (c_int, [_Reader, c_uint, _Bytes, _Size]),
    "qd500_protect": (c_int, [_Reader, c_uint, _Bytes, _Size]),
    "qd500_at88_verify": (c_int, [_Reader, c_uint, _Bytes, _Size]),
    "qd500_at88_erase": (c_int, [_Reader, c_uint, c_uint]),
    "qd500_at88_personalise": (c_int, [_Reader, c_uint]),
    "qd500_at24_read": (c_int, [_Reader, c_uint, c_uint, _Bytes, _Size]),
    "qd500_at24_write": (c_int, [_Reader, c_uint, c_uint, _Bytes, _Size]),
    "qd500_read_tracks": (c_int, [_Reader, c_uint, _Bytes, _Size, _Bytes, _Size, POINTER(c_uint)]),
    "qd500_write_tracks": (c_int, [_Reader, c_char_p, c_char_p, c_int]),
    "qd500_mag_setting": (c_int, [_Reader, c_char]),
    "qd500_mag_setting_letters": (c_char_p, []),
    "qd500_des_encrypt": (c_int, [_Bytes, _Bytes, _Bytes]),
    "qd500_des_decrypt": (c_int, [_Bytes, _Bytes, _Bytes]),
    "qd500_3des_encrypt": (c_int, [_Bytes, _Bytes, _Bytes]),
    "qd500_3des_decrypt": (c_int, [_Bytes, _Bytes, _Bytes]),
    "qd500_diversify": (c_int, [_Bytes, _Bytes, _Bytes]),
    "qd500_pin_block": (c_int, [c_char_p, c_char_p, _Bytes, _Size, _Bytes]),
    "qd500_pin_from_block": (c_int, [_Bytes, c_char_p, _Bytes, _Size, c_char_p, _Size]),
}


def candidates() -> list[str]:
    """Where the library is looked for, in order: QD500_LIBRARY alone when
    it is set, else beside this package, then in its install prefix's
    library folder, then the system's search."""
    named = os.environ.get("QD500_LIBRARY")
    if named:
        return [named]
    here = os.path.dirname(os.path.abspath(__file__))
    # Beside the package, then in the library folder of the prefix it was
    # installed under (PREFIX/lib/python3/dist-packages/qd500 -> PREFIX/lib).
    prefix_lib = os.path.normpath(os.path.join(here, "..", "..", ".."))
    places = [os.path.join(folder, name) for folder in (here, prefix_lib) for name in LIBRARY_NAMES]
    found = [path for path in places if os.path.exists(path)]
    if sys.platform == "win32":
        # A bare name no longer searches PATH on Windows; find_library does.
        path = ctypes.util.find_library("qd500")
        if path:
            found.append(path)
    return found + list(LIBRARY_NAMES)


def _declare(lib: ctypes.CDLL) -> ctypes.CDLL:
    for name, (restype, argtypes) in _SIGNATURES.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes
    return lib


_loaded: ctypes.CDLL | None = None
_loading = threading.Lock()


def lib() -> ctypes.CDLL:
    """The library, loaded on first use (OSError when it is nowhere)."""
    global _loaded
    if _loaded is None:
        with _loading:
            if _loaded is None:
                _loaded = _declare(_load())
    return _loaded


def _load() -> ctypes.CDLL:
    tried = []
    for path in candidates():
        try:
            return ctypes.CDLL(path)
        except OSError as error:
            tried.append(f"{path}: {error}")
    raise OSError("the qd500 library was not found (set QD500_LIBRARY to its path); tried " + "; ".join(tried))


def text(value: bytes | None) -> str:
    """A C string of the library as text."""
    return value.decode("utf-8", errors="replace") if value else ""


def strerror(result: int) -> str:
    return text(lib().qd500_strerror(result))
