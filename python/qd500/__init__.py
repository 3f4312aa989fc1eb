"""The qd500 card reader from Python: a ctypes binding of the handle API
(libqd500.so, qd500.dll) and, in qd500.testing, the reader simulator for
tests.

    with qd500.Reader("/dev/ttyUSB0") as reader:   # or "COM3", or 3
        reader.select_card("CPU")
        atr = reader.power_on()
        answer = reader.transmit(bytes.fromhex("00A40000023F00"), get_response=True)

The library is QD500_LIBRARY where that is set, else the one beside this
package, else the system's (libqd500.so.0, libqd500.so, qd500.dll).
"""

from .crypto import (
    des_decrypt,
    des_encrypt,
    diversify,
    pin_block,
    pin_from_block,
    triple_des_decrypt,
    triple_des_encrypt,
)
from .errors import (
    ArgumentError,
    Cancelled,
    CodeLocked,
    LineError,
    NoCard,
    PortError,
    ProtocolError,
    ReaderError,
    Timeout,
    WrongCode,
)
from .reader import (
    CardFamily,
    CardFeature,
    CardInfo,
    Direction,
    Personalisation,
    Reader,
    Response,
    Tracks,
    card_info,
    card_size,
    card_types,
    library_version,
    mag_setting_letters,
)

__version__ = "0.2.0"

__all__ = [
    "ArgumentError",
    "CardFamily",
    "CardFeature",
    "CardInfo",
    "Cancelled",
    "CodeLocked",
    "Direction",
    "LineError",
    "NoCard",
    "Personalisation",
    "PortError",
    "ProtocolError",
    "Reader",
    "ReaderError",
    "Response",
    "Timeout",
    "Tracks",
    "WrongCode",
    "card_info",
    "card_size",
    "card_types",
    "des_decrypt",
    "des_encrypt",
    "diversify",
    "library_version",
    "mag_setting_letters",
    "pin_block",
    "pin_from_block",
    "triple_des_decrypt",
    "triple_des_encrypt",
]
