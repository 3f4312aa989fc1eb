"""What a failed call raises: ReaderError and its subclasses."""

from __future__ import annotations

import re
from typing import Any

from . import _native


class ReaderError(Exception):
    """A call the library or the reader refused.

    result: 0 never; the reader's two-digit status code as a number (21 no
    card, 31 wrong code) or one of the library's negative codes.
    status: the reader's two-character status code ("21"), "" when the
    reader gave none. message: the library's text of the failure (UTF-8, as
    the reader words it). sw: the card's status word when the card, not the
    reader, refused (a VERIFY answered 63Cx), else None.
    """

    def __init__(self, result: int, status: str = "", message: str = "", sw: int | None = None) -> None:
        super().__init__(result, status, message)
        self.result = result
        self.status = status
        self.message = message
        self.sw = sw

    def __str__(self) -> str:
        text = f"result {self.result}: {_native.strerror(self.result)}"
        if self.sw is not None:
            text += f", card status {self.sw:04X}"
        return f"{text} ({self.message})" if self.message else text


class ArgumentError(ReaderError, ValueError):
    """The library refused an argument; nothing was sent."""


def _as_os_error(error: Any, status: str, message: str) -> None:
    # OSError took the arguments as errno, strerror and filename; they are
    # the library's result and text, not the system's.
    error.args = (error.result, status, message)
    error.errno = None
    error.strerror = message
    error.filename = None


class PortError(ReaderError, OSError):
    """The port is missing, busy or forbidden (an OSError, as a serial
    port's failure to open is elsewhere). filename is the port, with the
    device a COM number stands for ("COM7 (/dev/ttyS6)"); strerror the
    system's reason."""

    def __init__(self, result: int, status: str = "", message: str = "", sw: int | None = None) -> None:
        super().__init__(result, status, message, sw)
        _as_os_error(self, status, message)
        # The library's text: 不能打开串口[PORT]: REASON
        found = re.search(r"\[(.*)\](?:: (.*))?$", message)
        if found:
            self.filename = found.group(1)
            self.strerror = found.group(2) or message

    def __str__(self) -> str:
        if self.filename:
            why = f": {self.strerror}" if self.strerror != self.message else ""
            return f"result {self.result}: cannot open {self.filename}{why} ({self.message})"
        return super().__str__()


class Timeout(ReaderError, TimeoutError):
    """No reply within the reader's time-out (a TimeoutError)."""

    def __init__(self, result: int, status: str = "", message: str = "", sw: int | None = None) -> None:
        super().__init__(result, status, message, sw)
        _as_os_error(self, status, message)


class LineError(ReaderError):
    """The line failed or vanished; every call fails until reopen()."""


class ProtocolError(ReaderError):
    """The reader's reply was malformed."""


class Cancelled(ReaderError):
    """cancel() ended the call."""


class NoCard(ReaderError):
    """No card in the reader."""


class WrongCode(ReaderError):
    """A wrong PIN or security code.

    tries_left: the attempts the card has left, where it tells (a CPU
    card's 63Cx); None where it does not, as SLE44xx cards do not through
    this reader.
    """

    def __init__(
        self,
        result: int,
        status: str = "",
        message: str = "",
        sw: int | None = None,
        tries_left: int | None = None,
    ) -> None:
        super().__init__(result, status, message, sw)
        self.tries_left = tries_left


class CodeLocked(WrongCode):
    """The code's error counter is spent: no tries are left."""

    def __init__(self, result: int, status: str = "", message: str = "", sw: int | None = None) -> None:
        super().__init__(result, status, message, sw, tries_left=0)


WRONG_CODE = 31
CODE_LOCKED = 33
CARD_REFUSED = 41

_CLASSES: dict[int, type[ReaderError]] = {
    _native.E_PARAM: ArgumentError,
    _native.E_OPEN: PortError,
    _native.E_TIMEOUT: Timeout,
    _native.E_LINE: LineError,
    _native.E_PROTOCOL: ProtocolError,
    _native.E_CANCELLED: Cancelled,
    21: NoCard,
    WRONG_CODE: WrongCode,
    CODE_LOCKED: CodeLocked,
}


def error_for(result: int, status: str, message: str) -> ReaderError:
    """The exception of a failed call's result."""
    return _CLASSES.get(result, ReaderError)(result, status, message)
