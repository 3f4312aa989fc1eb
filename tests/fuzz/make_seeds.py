#!/usr/bin/env python3
"""Writes the hand-made seeds of the fuzz corpus (findings are added beside them)."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def chunk(data: bytes, delay_steps: int = 0) -> bytes:
    return struct.pack('<H', (delay_steps << 10) | len(data)) + data


def text(s: bytes) -> bytes:
    # ParamReader.Text reads a length byte L and takes L*3 characters.
    n = (len(s) + 2) // 3
    return bytes([n]) + s.ljust(n * 3, b'0')


def write(target: str, name: str, data: bytes) -> None:
    folder = os.path.join(HERE, 'corpus', target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), 'wb') as f:
        f.write(data)


def conversions() -> None:
    write('conversions', 'hex16', chunk(text(b'0123456789ABCDEF') + text(b'FEDCBA98765432100123456789ABCDEF')
                                        + struct.pack('<h', 16) + b'\x08'))
    write('conversions', 'odd', chunk(text(b'abc') + text(b'1') + struct.pack('<h', 3) + b'\x03'))
    write('conversions', 'nonhex', chunk(text(b'G1 z-+xx\xff\x80') + text(b'') + struct.pack('<h', 9) + b'\x3f'))
    write('conversions', 'long', chunk(text(b'9' * 600) + text(b'A' * 40) + struct.pack('<h', 2047) + b'\x40'))
    write('conversions', 'negative', chunk(text(b'12') + text(b'34') + struct.pack('<h', -5) + b'\x00'))


def reply(status: bytes, data: bytes = b'') -> bytes:
    body = b'%02X' % (len(data) // 2 + 2) + status + data
    bcc = 0
    for i in range(0, len(body) - 1, 2):
        bcc ^= int(body[i:i + 2], 16)
    return b'\x1b=' + body + b'%02X' % bcc + b'\x03'


def session_params(which: int, timeout: int, n: int, a: bytes, b: bytes, c: bytes) -> bytes:
    return bytes([which, timeout]) + struct.pack('<h', n) + text(a) + text(b) + text(c)


def session() -> None:
    # Command indexes follow the table of FuzzSession.cpp.
    ok = reply(b'00')
    data16 = reply(b'00', b'00112233445566778899AABBCCDDEEFF')
    write('session', 'guardbit', chunk(session_params(0, 1, 4, b'00', b'', b'')) + chunk(reply(b'00', b'F0FFFCFF')))
    write('session', 'read4428_split', chunk(session_params(1, 2, 16, b'00', b'20', b''))
          + chunk(data16[:7]) + chunk(data16[7:], 25))
    write('session', 'write4428', chunk(session_params(2, 1, 0, b'00', b'20', b'\x12\x34')) + chunk(ok))
    write('session', 'verify_noise', chunk(session_params(4, 1, 0, b'FFFFFF', b'', b''))
          + chunk(b'\x00\xff' + reply(b'31')))
    write('session', 'at88_short', chunk(session_params(6, 1, 0, b'00', b'0A', b'1234')) + chunk(b'\x1b=0\x03'))
    write('session', 'raw_endchar', chunk(session_params(33, 1, 0, b'', b'', b'')) + chunk(b'AB\x00CD\x03tail'))
    write('session', 'raw_bylen', chunk(session_params(34, 1, 10, b'', b'', b'')) + chunk(b'ABCD'))
    # Found by fuzzing: a count of 0 with bytes waiting made the read spin.
    write('session', 'raw_bylen_zero', chunk(session_params(34, 1, 0, b'', b'', b'')) + chunk(b'ABCD'))
    write('session', 'raw_all', chunk(session_params(35, 1, 0, b'', b'', b'')) + chunk(b'12') + chunk(b'34', 1))
    at24 = [reply(b'00'), reply(b'00'), reply(b'00', b'3B00'), data16, reply(b'00')]
    write('session', 'at24_read', chunk(session_params(37, 2, 16, b'00', b'20', b''))
          + b''.join(chunk(r) for r in at24))
    write('session', 'at24_write_refused', chunk(session_params(38, 1, 1, b'00', b'20', b'\x55')) + chunk(reply(b'00'))
          + chunk(reply(b'24')))
    write('session', 'power_on', chunk(session_params(10, 1, 0, b'', b'', b''))
          + chunk(reply(b'00', b'3B6800005144353030')))
    write('session', 'version', chunk(session_params(15, 1, 0, b'', b'', b''))
          + chunk(reply(b'00', b'51443530302D53494D')))
    write('session', 'status', chunk(session_params(12, 1, 0, b'', b'', b'')) + chunk(reply(b'21', b'010088')))
    apdu = b'00\x00A4\x0000\x0000\x0002\x00'
    write('session', 'select_61', chunk(session_params(16, 1, 0, apdu, b'3F00', b''))
          + chunk(reply(b'00', b'611A')) + chunk(reply(b'00', b'6F0A840E315041592E5359532E4444463031' + b'9000')))
    write('session', 'getresponse_6c', chunk(session_params(17, 1, 8, b'', b'', b'')) + chunk(reply(b'00', b'6C08')))
    write('session', 'writekey_61', chunk(session_params(30, 1, 0, b'0102FF123456', b'', b''))
          + chunk(reply(b'00', b'6110')) + chunk(reply(b'00', b'6108')) + chunk(reply(b'00', b'9000')))
    write('session', 'deletemf', chunk(session_params(23, 1, 0, b'', b'', b'')) + chunk(reply(b'00', b'6A81')))
    write('session', 'readdata', chunk(session_params(18, 1, 16, b'00', b'20', b'')) + chunk(data16))
    write('session', 'oversized', chunk(session_params(1, 1, 128, b'00', b'00', b''))
          + chunk(b'\x1b=FF00' + b'AB' * 400 + b'\x03'))


def magnetic_params(which: int, mode: int, timeout: int, t2: bytes, t3: bytes) -> bytes:
    return bytes([which, mode, timeout]) + text(t2) + text(t3)


def magnetic() -> None:
    t2 = b'6212345678901234567=30121010000012345'
    t3 = b'996212345678901234567=156000000000000000000000000000000003012=0000000000000000000000000'
    write('magnetic', 'read2', chunk(magnetic_params(0, 0, 1, b'', b'')) + chunk(b'\x1bs' + t2 + b'?\x1c'))
    write('magnetic', 'read3', chunk(magnetic_params(1, 0, 1, b'', b'')) + chunk(b'\x1bsA' + t3 + b'?\x1c'))
    write('magnetic', 'read23_del', chunk(magnetic_params(2, 0, 1, b'', b''))
          + chunk(b'noise\x1bs\x7fA' + t3 + b'?\x1c'))
    write('magnetic', 'read23_split', chunk(magnetic_params(2, 0, 2, b'', b'')) + chunk(b'\x1bs' + t2)
          + chunk(b'A' + t3 + b'?\x1c', 25))
    write('magnetic', 'write2', chunk(magnetic_params(3, 1, 1, t2, b'')) + chunk(b'\x1b0p'))
    write('magnetic', 'write23_fail', chunk(magnetic_params(5, 0, 1, t2, t3)) + chunk(b'\x1b0q'))
    write('magnetic', 'setting', chunk(magnetic_params(6, 2, 1, b'', b'')) + chunk(b'\x1b%0'))
    write('magnetic', 'setting_pair_only', chunk(magnetic_params(6, 0, 1, b'', b'')) + chunk(b'\x1b%'))


def ifd() -> None:
    # [mode: 0x80 memory card, low bits the type's index in FuzzIfd.cpp][result / control selector][APDU]
    s4442, at24c16, at88 = 0x81, 0x86, 0x89
    write('ifd', 'select', bytes([0x80, 0, 0xFF, 0xA4, 0x00, 0x00, 0x01, 0x42]))
    write('ifd', 'read256', bytes([s4442, 0, 0xFF, 0xB0, 0x00, 0x00, 0x00]))
    write('ifd', 'read_past_end', bytes([at24c16, 14, 0xFF, 0xB0, 0x07, 0xF0, 0x20]))
    write('ifd', 'write', bytes([at24c16, 32, 0xFF, 0xD6, 0x00, 0x10, 0x04, 1, 2, 3, 4]))
    write('ifd', 'write_lying_lc', bytes([s4442, 0, 0xFF, 0xD6, 0x00, 0x10, 0x08, 1, 2]))
    write('ifd', 'code', bytes([s4442, 31, 0xFF, 0x20, 0x00, 0x00, 0x03, 0xFF, 0xFF, 0xFF]))
    write('ifd', 'at88_code', bytes([at88, 33, 0xFF, 0x20, 0x00, 0x0A, 0x02, 0xFF, 0xFF]))
    write('ifd', 'change_code', bytes([s4442, 31, 0xFF, 0xD2, 0x00, 0x01, 0x03, 0x12, 0x34, 0x56]))
    write('ifd', 'protection', bytes([s4442, 24, 0xFF, 0xB2, 0x00, 0x00, 0x20]))
    write('ifd', 'protect', bytes([0x83, 23, 0xFF, 0xD1, 0x03, 0xFE, 0x02, 0xAA, 0x55]))
    write('ifd', 'cpu_case4', bytes([0x0A, 100, 0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00, 0x00]))
    write('ifd', 'cpu_extended', bytes([0x00, 0xFF, 0x00, 0xB0, 0x00, 0x00, 0x00, 0x01, 0x00]))
    write('ifd', 'read_tracks', bytes([0x00, 100, 0x23, 0x0A]))
    write('ifd', 'write_tracks', bytes([0x00, 101]) + b'\x23\x05' + b'6212345678901234567=3012\x1c99621234')
    write('ifd', 'head_setting', bytes([0x00, 102]) + b'K')


def api_text(s: bytes, long: bool = False) -> bytes:
    # The API target's texts: a length byte (two for the track texts), then the text.
    return (struct.pack('<H', len(s)) if long else bytes([len(s)])) + s


def api_data(b: bytes) -> bytes:
    return struct.pack('<H', len(b)) + b


def api() -> None:
    # Step indexes follow the table of FuzzApi.cpp; the first two bytes are
    # the count of calls and the time-out in seconds. The reader drops what
    # waits on the line before each command: the answers after the first
    # come a 50 ms step later, once their frame is out.
    select, power_on, dev_status, version, transmit, transmit_gr, read_mem, write_mem = 0, 1, 3, 6, 7, 8, 12, 13
    read_prot, present, at24_read, read_tracks, write_tracks = 14, 16, 21, 23, 24
    tables = api_text(b'S4442') + struct.pack('<hh', 21, 0x42) + api_text(b'1234') + api_text(b'6212345678901234567') \
        + api_data(bytes(range(16))) + api_data(bytes(8)) + b'\x0d'
    data128 = reply(b'00', b'%02X' % 0x5A * 128)
    data44 = reply(b'00', b'A5' * 44)
    write('api', 'read_memory', chunk(bytes([3, 1, select]) + api_text(b'S4442') + bytes([power_on])
                                      + struct.pack('<H', 33) + b'\x01' + bytes([read_mem]) + struct.pack('<H', 20)
                                      + b'\x00' + struct.pack('<H', 300) + b'\x01' + tables)
          + chunk(reply(b'00')) + chunk(reply(b'00', b'A2131091'), 1) + chunk(data128, 1) + chunk(data128, 1)
          + chunk(data44, 2))
    write('api', 'read_memory_wraps', chunk(bytes([1, 1, read_mem]) + struct.pack('<H', 0xFFF0) + b'\x00'
                                            + struct.pack('<H', 64) + b'\x01' + tables)
          + chunk(reply(b'00', b'00' * 16)) + chunk(reply(b'00', b'00' * 48), 1))
    write('api', 'write_memory', chunk(bytes([1, 1, write_mem]) + struct.pack('<H', 0) + b'\x00'
                                       + api_data(bytes(range(200))) + b'\x01' + tables)
          + chunk(reply(b'00')) + chunk(reply(b'00'), 1))
    write('api', 'protection_4442', chunk(bytes([2, 1, select]) + api_text(b'S4442') + bytes([read_prot])
                                          + struct.pack('<H', 4) + b'\x00' + struct.pack('<H', 20) + b'\x01' + tables)
          + chunk(reply(b'00')) + chunk(reply(b'00', b'F0FFFC'), 1))
    select_mf = bytes([0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00])
    write('api', 'apdu_61_chain', chunk(bytes([1, 1, transmit_gr]) + api_data(select_mf) + struct.pack('<H', 600)
                                        + b'\x01' + tables)
          + chunk(reply(b'00', b'6110')) + chunk(reply(b'00', b'00' * 16 + b'6108'), 1)
          + chunk(reply(b'00', b'11' * 8 + b'9000'), 1))
    write('api', 'apdu_longer_than_le', chunk(bytes([1, 1, transmit]) + api_data(bytes([0x00, 0xB0, 0x00, 0x00, 0x04]))
                                              + struct.pack('<H', 6) + b'\x01' + tables)
          + chunk(reply(b'00', b'00112233445566779000')))
    write('api', 'status_version', chunk(bytes([2, 1, dev_status, version]) + struct.pack('<H', 128) + tables)
          + chunk(reply(b'00', b'010142')) + chunk(reply(b'00', b'51443530302D53494D'), 1))
    write('api', 'present_wrong', chunk(bytes([1, 1, present]) + api_data(b'\xff\xff\xff') + b'\x01' + tables)
          + chunk(b'xy' + reply(b'31')))
    write('api', 'at24_read', chunk(bytes([1, 2, at24_read]) + struct.pack('<H', 0) + struct.pack('<H', 0x20) + b'\x00'
                                    + struct.pack('<H', 16) + tables)
          + b''.join(chunk(r, 1) for r in [reply(b'00'), reply(b'00'), reply(b'00'), reply(b'00', b'AB' * 16),
                                           reply(b'00')]))
    t2 = b'6212345678901234567=30121010000012345'
    write('api', 'tracks', chunk(bytes([2, 1, read_tracks, 3]) + struct.pack('<H', 0) + b'\x01' + struct.pack('<H', 0)
                                 + b'\x01' + b'\x01' + bytes([write_tracks]) + api_text(t2, True) + api_text(b'', True)
                                 + b'\x01' + tables)
          + chunk(b'\x1bs' + t2 + b'A\x7f\x1c') + chunk(b'\x1b0p', 1))


if __name__ == '__main__':
    conversions()
    session()
    magnetic()
    ifd()
    api()
