"""qd500.Reader: one card reader on a serial line, bytes in and bytes out."""

from __future__ import annotations

import enum
import math
import os
import threading
import warnings
from ctypes import byref, c_size_t, c_uint, c_void_p, create_string_buffer, string_at
from ctypes import sizeof as ctypes_sizeof
from dataclasses import dataclass
from types import TracebackType
from typing import Any, Callable, Union

from . import _native
from .errors import CARD_REFUSED, CODE_LOCKED, WRONG_CODE, CodeLocked, ReaderError, WrongCode, error_for

Port = Union[str, int, "os.PathLike[str]"]
BytesLike = Union[bytes, bytearray, memoryview]

_UINT_MAX = 0xFFFFFFFF
# A follow-up chain (61xx, 6Cxx) gathers many responses: room for far more
# than the library follows, so the answer of a chain is never lost.
_CHAIN_MAX = 0x10000


@dataclass(frozen=True)
class Response:
    """An APDU's response: its data and its status word."""

    data: bytes
    sw: int

    @property
    def sw1(self) -> int:
        return self.sw >> 8

    @property
    def sw2(self) -> int:
        return self.sw & 0xFF

    def __repr__(self) -> str:
        return f"Response(data=bytes.fromhex({self.data.hex()!r}), sw=0x{self.sw:04X})"


@dataclass(frozen=True)
class Tracks:
    """The text of tracks 2 and 3 ("" when not read or unreadable)."""

    track2: str = ""
    track3: str = ""
    unreadable2: bool = False
    unreadable3: bool = False


class Direction(enum.IntEnum):
    """Which way an observed frame went."""

    SENT = _native.SENT
    RECEIVED = _native.RECEIVED


Observer = Callable[[Direction, bytes], None]


class Personalisation(enum.IntEnum):
    """The steps of a payment card's file-system set-up."""

    DELETE_MF = 0
    CREATE_MF = 1
    END_MF = 2
    CREATE_DF = 3
    END_DF = 4
    CREATE_FILE = 5
    SELECT_FILE = 6
    WRITE_KEY = 7
    WRITE_BINARY = 8
    APPEND_RECORD = 9


def as_bytes(value: object, what: str) -> bytes:
    """Bytes of a bytes-like argument; TypeError for anything else (an int
    would otherwise become that many zero bytes)."""
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    raise TypeError(f"{what} must be bytes, not {type(value).__name__}")


def as_text(value: object, what: str, encoding: str = "ascii") -> bytes:
    """A text argument as the C string it is sent as; a NUL would cut it short."""
    if not isinstance(value, str):
        raise TypeError(f"{what} must be str, not {type(value).__name__}")
    if "\0" in value:
        raise ValueError(f"{what} must not contain a NUL character")
    return value.encode(encoding)


def as_uint(value: object, what: str, maximum: int = _UINT_MAX) -> int:
    """An integer in 0..maximum; ctypes would wrap a larger one silently."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be int, not {type(value).__name__}")
    if not 0 <= value <= maximum:
        raise ValueError(f"{what} must be in 0..{maximum}, not {value}")
    return value


def _path(path: object, what: str) -> bytes:
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"{what} must be str or a path, not {type(path).__name__}")
    name = os.fsencode(path)
    if b"\0" in name:
        raise ValueError(f"{what} must not contain a NUL character")
    return name


def _port_name(port: object) -> bytes:
    if isinstance(port, int) and not isinstance(port, bool):
        if not 1 <= port <= 999:
            raise ValueError(f"a COM number is 1 to 999, not {port}")
        return b"COM%d" % port
    return _path(port, "port")


def _timeout_ms(seconds: object) -> int:
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)):
        raise TypeError(f"timeout must be a number of seconds, not {type(seconds).__name__}")
    if not math.isfinite(seconds):
        raise ValueError(f"timeout must be finite, not {seconds}")
    return as_uint(round(seconds * 1000), "timeout in ms")


class Reader:
    """One reader on a serial port: "COM3", 3 or a device path.

    A context manager; close() frees the port. Calls from several threads
    are serialized: each call and the reading of its result are one step,
    so every thread gets its own call's message. cancel() alone runs beside
    them. Failures raise ReaderError (or a subclass); a wrong argument type
    or size raises TypeError or ValueError before anything is sent.
    """

    def __init__(self, port: Port, timeout: float = 10) -> None:
        name = _port_name(port)
        ms = _timeout_ms(timeout)
        self._lib = _native.lib()
        self._lock = threading.Lock()
        # Guards the handle against close() while cancel() uses it.
        self._handle_lock = threading.Lock()
        self._length = c_size_t()
        self._response = create_string_buffer(_CHAIN_MAX)
        self._handle: int | None = None
        self._observers: list[Observer] = []
        self._observer_fn: object = None  # the C callback, alive while installed
        handle = c_void_p()
        result = self._lib.qd500_open(name, byref(handle))
        if result != 0:
            raise error_for(result, "", _native.text(self._lib.qd500_message(None)))
        self._handle = handle.value
        self._timeout = float(timeout)
        try:
            self._run(self._lib.qd500_set_timeout_ms, ms)
        except BaseException:
            self.close()
            raise

    # ---- life ----

    def close(self) -> None:
        """Closes the port; later calls raise ValueError. Waits for the call
        under way, so cancel() it first where it may wait long."""
        with self._lock, self._handle_lock:
            if self._handle is not None:
                self._lib.qd500_close(self._handle)
                self._handle = None
                self._observers.clear()
                self._observer_fn = None

    def __enter__(self) -> Reader:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, value: BaseException | None, traceback: TracebackType | None
    ) -> None:
        self.close()

    def __del__(self) -> None:
        # A reader left open would keep its port locked against every other opener.
        if getattr(self, "_handle", None) is not None:
            self.close()

    def __repr__(self) -> str:
        state = "closed" if self._handle is None else "open"
        return f"<qd500.Reader {self.port!r} {state}>"

    @property
    def handle(self) -> int | None:
        """The qd500_reader pointer, for a call of qd500.h this package does
        not wrap (made while no other thread uses the reader); None once closed."""
        return self._handle

    @property
    def closed(self) -> bool:
        return self._handle is None

    @property
    def port(self) -> str:
        """The port as it was opened."""
        # Not the call lock: repr() of a reader waiting for a swipe must not wait.
        with self._handle_lock:
            return _native.text(self._lib.qd500_port(self._handle)) if self._handle is not None else ""

    @property
    def timeout(self) -> float:
        """The response time-out of every call, in seconds."""
        return self._timeout

    @timeout.setter
    def timeout(self, seconds: float) -> None:
        self._run(self._lib.qd500_set_timeout_ms, _timeout_ms(seconds))
        self._timeout = float(seconds)

    def reopen(self) -> None:
        """Opens the same port again, after the line failed."""
        self._run(self._lib.qd500_reopen)

    def set_trace(self, path: str | os.PathLike[str] | None) -> None:
        """Traces every frame into the file at path; None stops."""
        self._run(self._lib.qd500_set_trace, None if path is None else _path(path, "trace path"))

    def add_observer(self, observer: Observer) -> None:
        """Calls observer(direction, frame) with every frame sent and every
        reply received, on the thread of the call, as the reader exchanges
        them. An exception in an observer is reported, not raised."""
        if not callable(observer):
            raise TypeError(f"observer must be callable, not {type(observer).__name__}")
        with self._lock:
            handle = self._live()
            if self._observer_fn is None:
                observers = self._observers  # not self: no cycle keeps a reader open

                def relay(_ctx: object, direction: int, data: Any, length: int) -> None:
                    frame = string_at(data, length)
                    for each in list(observers):
                        each(Direction(direction), frame)

                fn = _native.OBSERVER(relay)
                self._check(self._lib.qd500_set_observer(handle, fn, None))
                self._observer_fn = fn
            self._observers.append(observer)

    def remove_observer(self, observer: Observer) -> None:
        """Stops calling an observer add_observer() gave (ValueError if none)."""
        with self._lock:
            self._observers.remove(observer)
            if not self._observers and self._handle is not None:
                self._check(self._lib.qd500_set_observer(self._handle, _native.OBSERVER(0), None))
                self._observer_fn = None

    def cancel(self) -> None:
        """From another thread: ends the call that waits (a swipe) with Cancelled."""
        with self._handle_lock:
            if self._handle is not None:
                self._lib.qd500_cancel(self._handle)

    # ---- card type, power, device ----

    def select_card(self, card_type: str) -> None:
        """The card type by name: "CPU", "S4442" (or "SLE4442"), "AT24C16", ...
        in any case; ArgumentError, naming every type, for any other name."""
        self._run(self._lib.qd500_select_card, as_text(card_type, "card type"))

    def power_on(self) -> bytes:
        """Powers the card on (a reset when powered); its answer to reset."""
        return self._fill(self._lib.qd500_power_on, _native.ATR_MAX)

    def power_off(self) -> None:
        self._run(self._lib.qd500_power_off)

    def device_status(self) -> bytes:
        """The device status: its three state fields, a byte each."""
        state = create_string_buffer(3)
        self._run(self._lib.qd500_device_status, state)
        return state.raw

    def status(self) -> bytes:
        """Deprecated: device_status(). (A reader's status code is the
        `status` of the ReaderError a failed call raises.)"""
        warnings.warn("Reader.status() is device_status()", DeprecationWarning, stacklevel=2)
        return self.device_status()

    def version(self) -> str:
        """The firmware's version text."""
        return self._fill(self._lib.qd500_version_text, _native.VERSION_MAX).decode("latin-1")

    def eject(self) -> None:
        self._run(self._lib.qd500_eject)

    def set_device_no(self, number: int) -> None:
        """The reader's device number, 0 to 99."""
        self._run(self._lib.qd500_set_device_no, as_uint(number, "device number", 99))

    # ---- CPU cards ----

    def transmit(self, apdu: BytesLike, get_response: bool = False) -> Response:
        """One APDU (case 1 to 4, short form). With get_response, 61xx is
        followed by GET RESPONSE and 6Cxx by the APDU again under the Le
        the card asked for. A status word is never an exception."""
        command = as_bytes(apdu, "apdu")
        send = self._lib.qd500_transmit_get_response if get_response else self._lib.qd500_transmit
        return self._respond(send, command, len(command))

    def get_response(self, le: int) -> Response:
        """GET RESPONSE for le bytes (0 or 256: 256)."""
        return self._respond(self._lib.qd500_get_response, as_uint(le, "le", 256))

    def verify_pin(self, pin: BytesLike, ref: int = 0) -> None:
        """VERIFY of a CPU card's key ref. A wrong PIN raises WrongCode with
        the tries the card says are left; a blocked key, CodeLocked."""
        code = as_bytes(pin, "pin")
        if not 1 <= len(code) <= 255:
            raise ValueError("pin must be 1 to 255 bytes")
        answer = self.transmit(bytes((0x00, 0x20, 0x00, as_uint(ref, "ref", 255), len(code))) + code)
        if answer.sw == 0x9000:
            return
        if answer.sw1 == 0x63 and answer.sw2 & 0xF0 == 0xC0:
            raise WrongCode(WRONG_CODE, "", self._status_text(WRONG_CODE), answer.sw, answer.sw2 & 0x0F)
        if answer.sw == 0x6983:
            raise CodeLocked(CODE_LOCKED, "", self._status_text(CODE_LOCKED), answer.sw)
        raise ReaderError(CARD_REFUSED, "", self._status_text(CARD_REFUSED), answer.sw)

    def check_pin(self, pin: BytesLike, ref: int = 0) -> None:
        """The reader's own PIN command on a CPU card's key ref; a wrong PIN
        raises WrongCode without a count of tries."""
        self._run_with(self._lib.qd500_check_pin, as_uint(ref, "ref", 255), as_bytes(pin, "pin"))

    def personalise(self, step: Personalisation, data: BytesLike = b"") -> Response:
        """One step of a payment card's file-system set-up; data is its input."""
        payload = as_bytes(data, "data")
        return self._respond(self._lib.qd500_personalise, int(Personalisation(step)), payload, len(payload))

    # ---- memory cards ----

    def read_memory(self, addr: int, length: int) -> bytes:
        """length bytes of card memory from addr."""
        return self._read(self._lib.qd500_read_memory, as_uint(addr, "addr"), length)

    def write_memory(self, addr: int, data: BytesLike) -> None:
        self._run_with(self._lib.qd500_write_memory, as_uint(addr, "addr"), as_bytes(data, "data"))

    def present_code(self, code: BytesLike) -> None:
        """Presents an SLE44xx card's security code; WrongCode when wrong."""
        self._run_with(self._lib.qd500_present_code, as_bytes(code, "code"))

    def change_code(self, code: BytesLike) -> None:
        """Changes an SLE44xx card's security code (the old one presented first)."""
        self._run_with(self._lib.qd500_change_code, as_bytes(code, "code"))

    def read_protection(self, addr: int, length: int) -> list[bool]:
        """True for each byte from addr that is write-protected."""
        flags = self._read(self._lib.qd500_read_protection, as_uint(addr, "addr"), length)
        return [flag != 0 for flag in flags]

    def protect(self, addr: int, data: BytesLike) -> None:
        """Write-protects bytes from addr: an SLE4442/4432 protects those its
        data matches, an SLE4428/4418 writes the data and protects it."""
        self._run_with(self._lib.qd500_protect, as_uint(addr, "addr"), as_bytes(data, "data"))

    def at88_verify(self, addr: int, code: BytesLike) -> None:
        """Presents an AT88SC card's security code at addr."""
        self._run_with(self._lib.qd500_at88_verify, as_uint(addr, "addr", 0xFFFF), as_bytes(code, "code"))

    def at88_erase(self, addr: int, length: int) -> None:
        self._run(self._lib.qd500_at88_erase, as_uint(addr, "addr", 0xFFFF), as_uint(length, "length", 255))

    def at88_personalise(self, addr: int) -> None:
        self._run(self._lib.qd500_at88_personalise, as_uint(addr, "addr", 0xFFFF))

    def at24_read(self, addr: int, length: int, device: int = 0) -> bytes:
        """An AT24Cxx read in one sequence: power on, read, power off."""
        return self._read(self._lib.qd500_at24_read, as_uint(device, "device", 255), as_uint(addr, "addr"), length)

    def at24_write(self, addr: int, data: BytesLike, device: int = 0) -> None:
        """An AT24Cxx write in one sequence: power on, write, power off."""
        self._run_with(
            self._lib.qd500_at24_write, as_uint(device, "device", 255), as_uint(addr, "addr"), as_bytes(data, "data")
        )

    # ---- magnetic stripe ----

    def read_tracks(self, track2: bool = True, track3: bool = True) -> Tracks:
        """Waits (up to the time-out) for a swipe and reads the tracks asked for."""
        which = (_native.TRACK2 if track2 else 0) | (_native.TRACK3 if track3 else 0)
        size = _native.TRACK_MAX + 1
        two, three, unreadable = create_string_buffer(size), create_string_buffer(size), c_uint()
        self._run(self._lib.qd500_read_tracks, which, two, size, three, size, byref(unreadable))
        return Tracks(
            two.value.decode("latin-1"),
            three.value.decode("latin-1"),
            bool(unreadable.value & _native.TRACK2),
            bool(unreadable.value & _native.TRACK3),
        )

    def write_tracks(self, track2: str | None = None, track3: str | None = None, prefix: bool = False) -> None:
        """Writes track 2 and/or track 3 (None: left as it is); prefix sends
        the head's write-mode prefix first."""
        two = None if track2 is None else as_text(track2, "track2")
        three = None if track3 is None else as_text(track3, "track3")
        self._run(self._lib.qd500_write_tracks, two, three, 1 if prefix else 0)

    def mag_setting(self, letter: str) -> None:
        """The head's setting letter: one of mag_setting_letters(), in any case."""
        if not isinstance(letter, str) or len(letter) != 1:
            raise ValueError("the setting is one letter")
        self._run(self._lib.qd500_mag_setting, as_text(letter, "setting"))

    # ---- the calls ----

    def _live(self) -> int:
        if self._handle is None:
            raise ValueError("the reader is closed")
        return self._handle

    def _check(self, result: int) -> None:
        """Raises a failed call's error; the caller holds the lock, so the
        message and status are still this call's."""
        if result != 0:
            status = _native.text(self._lib.qd500_status(self._handle))
            raise error_for(result, status, _native.text(self._lib.qd500_message(self._handle)))

    def _run(self, fn: Callable[..., int], *args: object) -> None:
        with self._lock:
            self._check(fn(self._live(), *args))

    def _run_with(self, fn: Callable[..., int], *args: object) -> None:
        """_run with the last argument's bytes followed by their length."""
        *head, data = args
        self._run(fn, *head, data, len(data))  # type: ignore[arg-type]

    def _read(self, fn: Callable[..., int], *args: object) -> bytes:
        """A read of length bytes, the last argument, into a buffer of that size."""
        *head, length = args
        data = create_string_buffer(as_uint(length, "length", 2**31))
        self._run(fn, *head, data, len(data))
        return data.raw

    def _fill(self, fn: Callable[..., int], size: int) -> bytes:
        """A call filling a buffer of size bytes and saying how many it wrote."""
        out = create_string_buffer(size)
        with self._lock:
            self._check(fn(self._live(), out, size, byref(self._length)))
            return out.raw[: self._length.value]

    def _respond(self, fn: Callable[..., int], *args: object) -> Response:
        """A call answering data and SW1 SW2 into the reader's response buffer."""
        with self._lock:
            self._check(fn(self._live(), *args, self._response, _CHAIN_MAX, byref(self._length)))
            answer = string_at(self._response, self._length.value)
        return Response(answer[:-2], int.from_bytes(answer[-2:], "big"))

    def _status_text(self, result: int) -> str:
        return _native.text(self._lib.qd500_status_message(b"%02d" % result))


def card_size(card_type: str) -> int:
    """The memory size in bytes of a card type (0 for a CPU card)."""
    size = int(_native.lib().qd500_card_size(as_text(card_type, "card type")))
    if size < 0:
        raise ValueError(f"no card type {card_type!r}")
    return size


class CardFamily(enum.IntEnum):
    """The family of a card type (QD500_FAMILY_*)."""

    CPU = 0
    SLE4442 = 1
    SLE4428 = 2
    AT24 = 3
    AT88SC = 4


class CardFeature(enum.IntFlag):
    """What a card type takes (QD500_FEATURE_*)."""

    MEMORY = 0x001
    PRESENT_CODE = 0x002
    CHANGE_CODE = 0x004
    READ_PROTECTION = 0x008
    PROTECT = 0x010
    AT88_VERIFY = 0x020
    AT88_ERASE = 0x040
    AT88_PERSONALISE = 0x080
    AT24_SEQUENCE = 0x100
    APDU = 0x200


@dataclass(frozen=True)
class CardInfo:
    """A card type as the library's table describes it."""

    name: str
    code: int
    family: CardFamily
    memory_size: int
    code_length: int
    code_tries: int
    protected_bytes: int
    features: CardFeature
    alias: str = ""  # the name people use beside it ("SLE4442"), also taken


def _card_info(raw: _native.CardInfo) -> CardInfo:
    return CardInfo(
        _native.text(raw.name),
        int(raw.code),
        CardFamily(raw.family),
        int(raw.memory_size),
        int(raw.code_length),
        int(raw.code_tries),
        int(raw.protected_bytes),
        CardFeature(raw.features),
        _native.text(raw.alias),
    )


def card_info(card_type: str) -> CardInfo:
    """The card type of a name, in any case, or of the name people use for
    it ("s4442" and "SLE4442" give "S4442")."""
    raw = _native.CardInfo(size=ctypes_sizeof(_native.CardInfo))
    if _native.lib().qd500_card_info(as_text(card_type, "card type"), byref(raw)) != 0:
        raise ValueError(_native.text(_native.lib().qd500_message(None)))
    return _card_info(raw)


def card_types() -> list[CardInfo]:
    """Every card type, in the library's order."""
    lib = _native.lib()
    found = []
    for index in range(int(lib.qd500_card_type_count())):
        raw = _native.CardInfo(size=ctypes_sizeof(_native.CardInfo))
        if lib.qd500_card_info_at(index, byref(raw)) == 0:
            found.append(_card_info(raw))
    return found


def library_version() -> str:
    """The version of the loaded library ("0.2.0")."""
    return _native.text(_native.lib().qd500_version())


def mag_setting_letters() -> str:
    """The setting letters the magnetic head knows ("ABCDKRZ")."""
    return _native.text(_native.lib().qd500_mag_setting_letters())
