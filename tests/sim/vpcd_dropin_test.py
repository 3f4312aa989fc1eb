"""The drop-in library (libqd500dll.so, QD500_COM<n> naming the port) on a
simulator whose CPU slot holds the tests' own vpcd card: gCardPowerOn
answers the card's ATR, gCPUCommand carries its APDUs. QD500_DLL and
QD500_SIM name the built library and simulator."""
import ctypes
import os
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "python"))

from qd500.testing import Simulator  # noqa: E402

CARD = os.path.join(HERE, "..", "support", "vpcd_card.py")


def record(apdu_hex):
    """gCPUCommand's record: CLA INS P1 P2 P3 as two characters and a NUL each, then the data."""
    fields = [apdu_hex[i:i + 2].encode() + b"\0" for i in range(0, 10, 2)]
    return b"".join(fields) + apdu_hex[10:].encode() + b"\0"


class DropIn(unittest.TestCase):
    def test_power_on_and_apdus(self):
        sim = Simulator(vpcd_listen="127.0.0.1:0").start()
        self.addCleanup(sim.stop)
        card = subprocess.Popen([sys.executable, CARD, "--connect", sim.vpcd_address])
        self.addCleanup(card.wait)
        self.addCleanup(card.kill)
        deadline = time.monotonic() + 5
        while "behind vpcd" not in sim.dump():
            self.assertLess(time.monotonic(), deadline, "the card never came into the slot")
            time.sleep(0.02)

        dll = ctypes.CDLL(os.environ["QD500_DLL"])
        os.environ["QD500_COM7"] = sim.port
        msg, sw = ctypes.create_string_buffer(256), ctypes.create_string_buffer(8)
        resp = ctypes.create_string_buffer(600)
        self.assertEqual(dll.gOpenComIC(7, msg), 0, msg.value)
        self.addCleanup(dll.gCloseComIC, msg)
        atr = ctypes.create_string_buffer(508)
        self.assertEqual(dll.gSetCardType(b"CPU", msg), 0, msg.value)
        self.assertEqual(dll.gCardPowerOn(atr, msg), 0, msg.value)
        self.assertEqual(atr.value, b"3B8800" + b"VPCDCARD".hex().upper().encode())
        self.assertEqual(dll.gCPUCommand(record("0084000008"), sw, resp, msg), 0, msg.value)
        self.assertEqual((sw.value, len(resp.value)), (b"9000", 16))
        # A case-4 command on this T=0 card: the answer the reader held, fetched.
        self.assertEqual(dll.gCPUCommand(record("008800000401020304"), sw, resp, msg), 0, msg.value)
        self.assertEqual((sw.value, resp.value), (b"9000", b"04030201"))


if __name__ == "__main__":
    unittest.main()
