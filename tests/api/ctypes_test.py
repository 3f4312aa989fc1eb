"""The handle API as another language binds it: libqd500.so loaded with
ctypes, driving qd500-sim on a pty. QD500_LIBRARY and QD500_SIM name the
built library and simulator."""
import ctypes
import json
import os
import subprocess
import tempfile
import unittest

lib = ctypes.CDLL(os.environ["QD500_LIBRARY"])
lib.qd500_message.restype = ctypes.c_char_p
lib.qd500_status.restype = ctypes.c_char_p
lib.qd500_strerror.restype = ctypes.c_char_p
lib.qd500_version.restype = ctypes.c_char_p
Reader = ctypes.c_void_p
lib.qd500_open.argtypes = [ctypes.c_char_p, ctypes.POINTER(Reader)]
for name in ("qd500_close", "qd500_power_off"):
    getattr(lib, name).argtypes = [Reader]
lib.qd500_message.argtypes = [Reader]
lib.qd500_status.argtypes = [Reader]
lib.qd500_select_card.argtypes = [Reader, ctypes.c_char_p]
Size = ctypes.c_size_t
Buffer = ctypes.c_char_p
lib.qd500_power_on.argtypes = [Reader, Buffer, Size, ctypes.POINTER(Size)]
lib.qd500_transmit.argtypes = [Reader, Buffer, Size, Buffer, Size, ctypes.POINTER(Size)]
lib.qd500_read_memory.argtypes = [Reader, ctypes.c_uint, Buffer, Size]
lib.qd500_write_memory.argtypes = [Reader, ctypes.c_uint, Buffer, Size]

E_PARAM, E_OPEN, E_BUFFER = -1, -2, -6


class Simulator:
    """qd500-sim --pty with a scenario; stopped by its process id."""

    def __init__(self, scenario):
        self.dir = tempfile.TemporaryDirectory()
        path = os.path.join(self.dir.name, "scenario.json")
        with open(path, "w") as f:
            json.dump(scenario, f)
        self.log = os.path.join(self.dir.name, "frames.log")
        self.proc = subprocess.Popen([os.environ["QD500_SIM"], "--pty", "--scenario", path, "--log", self.log],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.port = self.proc.stdout.readline().strip()

    def close(self):
        self.proc.kill()
        self.proc.wait()
        self.dir.cleanup()


class HandleApi(unittest.TestCase):
    def open(self, scenario):
        sim = Simulator(scenario)
        self.addCleanup(sim.close)
        r = Reader()
        self.assertEqual(lib.qd500_open(sim.port.encode(), ctypes.byref(r)), 0, lib.qd500_message(None))
        self.addCleanup(lib.qd500_close, r)
        return sim, r

    def test_cpu_card(self):
        _, r = self.open({"card": {"type": "CPU"}})
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
        self.assertEqual(lib.qd500_transmit(r, apdu, len(apdu), resp, 5, ctypes.byref(n)), E_BUFFER)
        self.assertEqual(n.value, 6)

    def test_memory_with_zero_bytes(self):
        _, r = self.open({"card": {"type": "AT24C16"}})
        self.assertEqual(lib.qd500_select_card(r, b"at24c16"), 0)
        n = Size()
        self.assertEqual(lib.qd500_power_on(r, ctypes.create_string_buffer(33), 33, ctypes.byref(n)), 0)
        data = bytes(range(256)) * 2
        self.assertEqual(lib.qd500_write_memory(r, 0x100, data, len(data)), 0, lib.qd500_message(r))
        back = ctypes.create_string_buffer(len(data))
        self.assertEqual(lib.qd500_read_memory(r, 0x100, back, len(data)), 0)
        self.assertEqual(back.raw, data)

    def test_errors(self):
        _, r = self.open({"card": {"type": "none"}})
        n = Size()
        self.assertEqual(lib.qd500_power_on(r, ctypes.create_string_buffer(33), 33, ctypes.byref(n)), 21)
        self.assertEqual(lib.qd500_status(r), b"21")
        self.assertEqual(lib.qd500_message(r).decode("utf-8"), "无卡!")
        self.assertEqual(lib.qd500_strerror(21), b"no card in the reader")
        self.assertEqual(lib.qd500_select_card(r, b"NOSUCH"), E_PARAM)
        missing = Reader()
        self.assertEqual(lib.qd500_open(b"/dev/qd500-no-such-tty", ctypes.byref(missing)), E_OPEN)
        self.assertIn("No such file", lib.qd500_message(None).decode("utf-8"))


if __name__ == "__main__":
    unittest.main()
