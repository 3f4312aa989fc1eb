"""The handle API as another language binds it: libqd500.so through the
Python package's ctypes declarations (qd500._native, from the source tree),
driving qd500-sim on a pty. The calls are the C functions themselves, so
buffers, lengths and results are the C API's. QD500_LIBRARY and QD500_SIM
name the built library and simulator."""
import ctypes
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))

from qd500 import _native  # noqa: E402
from qd500.testing import Simulator  # noqa: E402

lib = _native.lib()
Size = ctypes.c_size_t


class HandleApi(unittest.TestCase):
    def open(self, scenario):
        sim = Simulator(scenario)
        sim.start()
        self.addCleanup(sim.stop)
        r = ctypes.c_void_p()
        self.assertEqual(lib.qd500_open(sim.port.encode(), ctypes.byref(r)), 0, lib.qd500_message(None))
        self.addCleanup(lib.qd500_close, r)
        return r

    def test_cpu_card(self):
        r = self.open({"card": {"type": "CPU"}})
        self.assertEqual(lib.qd500_version(), b"0.2.0")
        self.assertEqual(lib.qd500_select_card(r, b"CPU"), 0)
        atr, n = ctypes.create_string_buffer(33), Size()
        self.assertEqual(lib.qd500_power_on(r, atr, 33, ctypes.byref(n)), 0)
        self.assertEqual(atr.raw[0], 0x3B)
        apdu = bytes.fromhex("0084000004")
        resp = ctypes.create_string_buffer(258)
        self.assertEqual(lib.qd500_transmit(r, apdu, len(apdu), resp, 6, ctypes.byref(n)), 0)
        self.assertEqual((n.value, resp.raw[4:6]), (6, b"\x90\x00"))
        # Too small a buffer: nothing is sent, and the size needed comes back.
        self.assertEqual(lib.qd500_transmit(r, apdu, len(apdu), resp, 5, ctypes.byref(n)), _native.E_BUFFER)
        self.assertEqual(n.value, 6)

    def test_memory_with_zero_bytes(self):
        r = self.open({"card": {"type": "AT24C16"}})
        self.assertEqual(lib.qd500_select_card(r, b"at24c16"), 0)
        n = Size()
        self.assertEqual(lib.qd500_power_on(r, ctypes.create_string_buffer(33), 33, ctypes.byref(n)), 0)
        data = bytes(range(256)) * 2
        self.assertEqual(lib.qd500_write_memory(r, 0x100, data, len(data)), 0, lib.qd500_message(r))
        back = ctypes.create_string_buffer(len(data))
        self.assertEqual(lib.qd500_read_memory(r, 0x100, back, len(data)), 0)
        self.assertEqual(back.raw, data)

    def test_errors(self):
        r = self.open({"card": {"type": "none"}})
        n = Size()
        self.assertEqual(lib.qd500_power_on(r, ctypes.create_string_buffer(33), 33, ctypes.byref(n)), 21)
        self.assertEqual(lib.qd500_status(r), b"21")
        self.assertEqual(lib.qd500_message(r).decode("utf-8"), "无卡!")
        self.assertEqual(lib.qd500_strerror(21), b"no card in the reader")
        self.assertEqual(lib.qd500_select_card(r, b"NOSUCH"), _native.E_PARAM)
        missing = ctypes.c_void_p()
        self.assertEqual(lib.qd500_open(b"/dev/qd500-no-such-tty", ctypes.byref(missing)), _native.E_OPEN)
        self.assertIn("No such file", lib.qd500_message(None).decode("utf-8"))


if __name__ == "__main__":
    unittest.main()
