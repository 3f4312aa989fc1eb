"""The driver in the real pcscd, through real clients (pyscard, pcsc_scan,
opensc-tool, scriptor), on simulators. run.sh brings the readers up:

  1 a CPU card whose head waits for a swipe   2 an SLE4442   3 an AT24C16
  4 a CPU card                                5 a CPU card whose line hangs up at its first APDU
  6 a T=1 card with a file system             7 a slot for a vpcd card (the tests' own)
  8 a slot for a vpcd card that listens (vicc -R, where it runs)
"""
import json
import os
import shutil
import socket
import subprocess
import threading
import time
from typing import Callable, Iterator, List, Tuple

import pytest
from smartcard import scard

HERE = os.path.dirname(os.path.abspath(__file__))
DIR = os.environ['QD500_PCSC_DIR']
TRACK2 = '6212345678901234567=3012'
with open(os.path.join(HERE, 'scenarios', 'cpu-swipe.json')) as f:
    TRACK3 = json.load(f)['magnetic']['track3']
CPU_ATR = bytes.fromhex('3B68000051443530305349 4D'.replace(' ', ''))


def sim(reader: int, command: str) -> str:
    """One command on reader's simulator control socket."""
    with socket.socket(socket.AF_UNIX) as s:
        s.connect(os.path.join(DIR, 'sim%d.sock' % reader))
        s.sendall(command.encode() + b'\n')
        return s.recv(65536).decode()


class Card:
    """A connection through pyscard's PC/SC layer."""

    def __init__(self, reader: int, share: int = scard.SCARD_SHARE_SHARED,
                 protocol: int = scard.SCARD_PROTOCOL_T0) -> None:
        rc, self.context = scard.SCardEstablishContext(scard.SCARD_SCOPE_USER)
        assert rc == scard.SCARD_S_SUCCESS, scard.SCardGetErrorMessage(rc)
        rc, readers = scard.SCardListReaders(self.context, [])
        assert rc == scard.SCARD_S_SUCCESS, scard.SCardGetErrorMessage(rc)
        self.name = next(r for r in readers if r.startswith('qd500 sim %d ' % reader))
        rc, self.handle, self.protocol = scard.SCardConnect(self.context, self.name, share, protocol)
        assert rc == scard.SCARD_S_SUCCESS, scard.SCardGetErrorMessage(rc)

    def atr(self) -> bytes:
        rc, _, _, _, atr = scard.SCardStatus(self.handle)
        assert rc == scard.SCARD_S_SUCCESS
        return bytes(atr)

    def transmit(self, apdu: bytes) -> Tuple[int, bytes]:
        """The PC/SC result and the response."""
        pci = scard.SCARD_PCI_T1 if self.protocol == scard.SCARD_PROTOCOL_T1 else scard.SCARD_PCI_T0
        rc, resp = scard.SCardTransmit(self.handle, pci, list(apdu))
        return rc, bytes(resp)

    def ok(self, apdu: bytes) -> Tuple[bytes, int]:
        """Data and status word of an APDU that must get through."""
        rc, resp = self.transmit(apdu)
        assert rc == scard.SCARD_S_SUCCESS, scard.SCardGetErrorMessage(rc)
        return resp[:-2], resp[-2] << 8 | resp[-1]

    def sw(self, apdu: bytes) -> int:
        return self.ok(apdu)[1]

    def control(self, n: int, data: bytes) -> bytes:
        rc, out = scard.SCardControl(self.handle, scard.SCARD_CTL_CODE(n), list(data))
        assert rc == scard.SCARD_S_SUCCESS, scard.SCardGetErrorMessage(rc)
        return bytes(out)

    def close(self) -> None:
        scard.SCardDisconnect(self.handle, scard.SCARD_LEAVE_CARD)
        scard.SCardReleaseContext(self.context)


@pytest.fixture
def card(request: pytest.FixtureRequest) -> Iterator[Card]:
    c = Card(request.param)
    yield c
    c.close()


def until(check: Callable[[], bool], seconds: float, what: str) -> None:
    deadline = time.monotonic() + seconds
    while not check():
        assert time.monotonic() < deadline, what
        time.sleep(0.05)


class Scan:
    """pcsc_scan in the background, its card states by reader."""

    def __init__(self) -> None:
        self.proc = subprocess.Popen(['stdbuf', '-oL', 'pcsc_scan', '-n'], stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True)
        self.events: List[Tuple[float, str, str]] = []  # (time, reader, state)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self) -> None:
        reader = ''
        for line in self.proc.stdout:
            line = line.strip(' \r\n-\\|/')
            if line.startswith('Reader '):
                reader = line.split(': ', 1)[1]
            elif line.startswith('Card state: '):
                self.events.append((time.monotonic(), reader, line[len('Card state: '):]))

    def wait(self, reader: int, state: str, after: float, seconds: float = 5) -> float:
        """When pcsc_scan reported state for reader, after the time given."""
        prefix = 'qd500 sim %d ' % reader
        found: List[float] = []

        def seen() -> bool:
            found[:] = [t for t, r, s in self.events if t >= after and r.startswith(prefix) and state in s]
            return bool(found)
        until(seen, seconds, 'pcsc_scan never reported %s on reader %d' % (state, reader))
        return found[0]

    def __enter__(self) -> 'Scan':
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def stop(self) -> None:
        self.proc.terminate()
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def test_pcsc_scan_shows_a_card_removed_and_inserted() -> None:
    with Scan() as scan:
        scan.wait(4, 'Card inserted', 0)
        took = []
        for _ in range(3):
            start = time.monotonic()
            assert sim(4, 'remove') == 'ok\n'
            took.append(scan.wait(4, 'Card removed', start) - start)
            start = time.monotonic()
            assert sim(4, 'insert CPU') == 'ok\n'
            took.append(scan.wait(4, 'Card inserted', start) - start)
        # Within a second, as pcscd polls every 400 ms; a loaded machine may
        # stretch one event, not all of them.
        assert sorted(took)[len(took) // 2] < 1.0, took


@pytest.mark.parametrize('card', [4], indirect=True)
def test_cpu_card_apdus_pass_as_t0_carries_them(card: Card) -> None:
    assert card.atr() == CPU_ATR
    data, sw = card.ok(bytes.fromhex('00A40000023F00'))
    assert data == b'' and sw >> 8 == 0x61  # no GET RESPONSE inside the driver
    fci, sw = card.ok(bytes([0x00, 0xC0, 0x00, 0x00, sw & 0xFF]))
    assert sw == 0x9000 and fci[0] == 0x6F
    challenge, sw = card.ok(bytes.fromhex('0084000008'))
    assert sw == 0x9000 and len(challenge) == 8
    assert card.sw(bytes.fromhex('0084000010')) == 0x6C08  # the application follows 6Cxx up itself
    assert card.sw(bytes.fromhex('00EE000008')) == 0x6D00
    # An Le no reply frame carries (00: 256): 6CFB, the most it can, and not sent.
    assert card.sw(bytes.fromhex('00B0000000')) == 0x6CFB
    assert card.sw(bytes.fromhex('00B00000000100')) == 0x6700  # extended length: not sent
    assert card.sw(bytes.fromhex('FFA400000142')) == 0x6981  # not an SLE4442,
    assert card.sw(bytes.fromhex('0084000008')) == 0x9000  # and still a CPU card


@pytest.mark.parametrize('card', [2], indirect=True)
def test_sle4442_through_pseudo_apdus(card: Card) -> None:
    assert card.atr() == bytes.fromhex('3B044D454D00')
    assert card.sw(bytes.fromhex('FFA4000001 42'.replace(' ', ''))) == 0x9000
    rc, _ = scard.SCardReconnect(card.handle, scard.SCARD_SHARE_SHARED, scard.SCARD_PROTOCOL_T0,
                                 scard.SCARD_RESET_CARD)
    assert rc == scard.SCARD_S_SUCCESS and card.atr() == bytes.fromhex('3B044D454D42')  # the type, after a reset
    memory, sw = card.ok(bytes.fromhex('FFB0000000'))
    assert sw == 0x9000 and len(memory) == 256 and memory[:4] == bytes.fromhex('A2131091')
    write = bytes.fromhex('FFD6004004') + b'QD50'
    assert card.sw(write) == 0x6982  # before the code
    assert card.sw(bytes.fromhex('FF20000003FFFFFF')) == 0x9000
    assert card.sw(write) == 0x9000
    assert card.ok(bytes.fromhex('FFB0004004')) == (b'QD50', 0x9000)
    assert card.sw(bytes.fromhex('FFB1000000')) == 0x6A81  # no error counter to read
    for _ in range(3):
        assert card.sw(bytes.fromhex('FF20000003123456')) >> 8 == 0x63
    assert card.sw(bytes.fromhex('FF20000003FFFFFF')) == 0x6983  # spent: even the right code


@pytest.mark.parametrize('card', [3], indirect=True)
def test_at24c16_writes_and_reads_back_2k(card: Card) -> None:
    assert card.sw(bytes.fromhex('FFA4000001 05'.replace(' ', ''))) == 0x9000
    image = bytes((i * 7 + i // 256) & 0xFF for i in range(2048))
    for at in range(0, 2048, 128):
        assert card.sw(bytes([0xFF, 0xD6, at >> 8, at & 0xFF, 128]) + image[at:at + 128]) == 0x9000
    back = b''
    for at in range(0, 2048, 256):
        data, sw = card.ok(bytes([0xFF, 0xB0, at >> 8, at & 0xFF, 0]))
        assert sw == 0x9000
        back += data
    assert back == image
    assert card.sw(bytes([0xFF, 0xB0, 0x07, 0xFF, 2])) == 0x6B00  # past the end: not sent


def test_tracks_through_control_with_no_card_while_pcsc_scan_polls() -> None:
    with Scan() as scan:
        assert sim(1, 'remove') == 'ok\n'
        # Seen empty first: while the swipe waits, presence keeps the last state.
        scan.wait(1, 'Card removed', 0)
        head = Card(1, scard.SCARD_SHARE_DIRECT, 0)
        try:
            assert head.control(3503, b'') == b'\x00QD500-SIM V1.0'
            # PC/SC v2 part 10: the TLV properties' feature, and the most answer data a frame carries.
            assert head.control(3400, b'') == bytes([0x12, 4, 0x42, 0x00, 0x0D, 0x49])
            assert head.control(3401, b'') == bytes([0x0A, 4, 251, 0, 0, 0])
            out: List[bytes] = []
            swipe = threading.Thread(target=lambda: out.append(head.control(3500, b'\x23\x0A')))
            swipe.start()
            time.sleep(2)  # presence keeps being polled through the wait
            assert swipe.is_alive()
            assert sim(1, 'swipe %s %s' % (TRACK2, TRACK3)) == 'ok\n'
            swipe.join(5)
            assert out == [b'\x00' + TRACK2.encode() + b'\x1C' + TRACK3.encode()]
        finally:
            head.close()
        # The card put in afterwards shows up at once: presence was never stuck.
        start = time.monotonic()
        assert sim(1, 'insert CPU') == 'ok\n'
        assert scan.wait(1, 'Card inserted', start) - start < 1.0
    # Nothing went to the reader between the swipe's read and its answer.
    with open(os.path.join(DIR, 'sim1.log'), encoding='latin-1') as f:
        log = f.read().splitlines()
    read = max(i for i, line in enumerate(log) if 'host> <ESC>B]' in line)
    answer = next(i for i in range(read + 1, len(log)) if ' sim> ' in log[i])
    assert not [line for line in log[read + 1:answer] if ' host> ' in line]


def challenges_sent(reader: int, after: int) -> List[float]:
    """When the host's GET CHALLENGE frames reached reader's simulator, past line after of its log."""
    with open(os.path.join(DIR, 'sim%d.log' % reader), encoding='latin-1') as f:
        lines = f.read().splitlines()[after:]
    times = []
    for line in lines:
        if ' host> ' in line and '=5A0084000008' in line:
            h, m, sec = line.split()[0].split(':')
            times.append(int(h) * 3600 + int(m) * 60 + float(sec))
    return times


def log_length(reader: int) -> int:
    with open(os.path.join(DIR, 'sim%d.log' % reader), encoding='latin-1') as f:
        return len(f.read().splitlines())


def test_two_readers_work_side_by_side_from_two_threads() -> None:
    def run(reader: int, count: int) -> None:
        c = Card(reader)
        try:
            for _ in range(count):
                assert c.ok(bytes.fromhex('0084000008'))[1] == 0x9000
            done.append(reader)
        finally:
            c.close()

    def median_gap(times: List[float]) -> float:
        gaps = sorted(b - a for a, b in zip(times, times[1:]))
        return gaps[len(gaps) // 2]

    done: List[int] = []
    # One reader alone first: its pace of APDUs on the line.
    start = log_length(4)
    run(4, 6)
    alone = median_gap(challenges_sent(4, start))
    start = {r: log_length(r) for r in (4, 1)}
    threads = [threading.Thread(target=run, args=(r, 15)) for r in (4, 1)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(done) == [1, 4, 4]
    # Had pcscd serialized the readers, each one's APDUs would come at half
    # its pace alone (every exchange waiting for the other line's); side by
    # side each keeps its own pace.
    four, one = challenges_sent(4, start[4]), challenges_sent(1, start[1])
    assert len(four) == len(one) == 15
    both = [t for t in four + one if max(four[0], one[0]) <= t <= min(four[-1], one[-1])]
    assert len(both) >= 16, (four, one)
    for times in (four, one):
        assert median_gap(times) < 1.4 * alone, (alone, four, one)


def cpu_seconds(pid: int) -> float:
    with open('/proc/%d/stat' % pid) as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')


def test_line_vanishing_during_a_transmit() -> None:
    with open(os.path.join(DIR, 'pcscd.pid')) as f:
        pcscd = int(f.read())
    c = Card(5)
    rc, _ = c.transmit(bytes.fromhex('0084000008'))
    assert rc != scard.SCARD_S_SUCCESS  # the line hung up under it
    c.close()
    before, start = cpu_seconds(pcscd), time.monotonic()
    time.sleep(5)
    assert (cpu_seconds(pcscd) - before) / (time.monotonic() - start) < 0.05
    with open(os.path.join(DIR, 'sim5.out')) as f:
        assert len(f.read().split()) == 2  # the simulator has a new pty behind the link

    def works() -> bool:
        try:
            again = Card(5)
        except (AssertionError, StopIteration):
            return False
        try:
            return again.transmit(bytes.fromhex('0084000008'))[1][-2:] == b'\x90\x00'
        finally:
            again.close()
    until(works, 10, 'the reader never worked again')


def test_opensc_tool_lists_readers_and_reads_the_atrs() -> None:
    listed = subprocess.run(['opensc-tool', '-l'], capture_output=True, text=True, timeout=30)
    assert listed.returncode == 0, listed.stderr
    index = {}
    for line in listed.stdout.splitlines():
        if 'qd500 sim ' in line:
            index[int(line.split('qd500 sim ')[1].split()[0])] = line.split()[0]
    assert len(index) == int(os.environ['QD500_PCSC_READERS'])
    # opensc probes each card with APDUs of its own; the memory card refuses them.
    for reader, atr in ((4, CPU_ATR), (2, bytes.fromhex('3B044D454D'))):  # and the type byte
        out = subprocess.run(['opensc-tool', '-r', index[reader], '-a'], capture_output=True, text=True, timeout=30)
        assert out.returncode == 0, out.stderr
        assert atr.hex(':') in out.stdout.lower()


def test_scriptor_runs_a_script_of_apdus() -> None:
    script = os.path.join(DIR, 'select.apdu')
    with open(script, 'w') as f:
        f.write('00 A4 00 00 02 3F 00\n00 84 00 00 08\n00 EE 00 00 08\n')
    name = Card(4)
    name.close()
    out = subprocess.run(['scriptor', '-r', name.name, script], capture_output=True, text=True, timeout=30)
    assert out.returncode == 0, out.stdout + out.stderr
    answers = [line for line in out.stdout.splitlines() if line.startswith('<')]
    assert len(answers) == 3, out.stdout
    assert answers[0].split()[1] == '61'
    assert answers[1].split()[-3:-1] == ['90', '00'] or ': Normal processing' in answers[1]
    assert answers[2].split()[1:3] == ['6D', '00']


def test_scriptor_and_qd500_run_print_the_same_exchanges() -> None:
    """One script through scriptor (reader 4) and through qd500 run --scriptor
    on a simulator of its own: the echoed lines, the APDUs and the responses
    are the same; only the status words' meanings are each tool's own."""
    build = os.environ.get('QD500_BUILD', os.path.join(HERE, '..', '..', 'build', 'linux'))
    script = os.path.join(DIR, 'compare.apdu')
    with open(script, 'w') as f:
        f.write('# the master file and its FCI, a missing file, an unknown instruction\n'
                'reset\n00 A4 00 00 02 3F 00\n00C0000019\n00 A4 00 00 02 99 99\n00 EE 00 00 08\n')
    name = Card(4)
    name.close()
    theirs = subprocess.run(['scriptor', '-r', name.name, script], capture_output=True, text=True, timeout=30)
    assert theirs.returncode == 0, theirs.stdout + theirs.stderr
    sim_proc = subprocess.Popen([os.path.join(build, 'tools', 'sim', 'qd500-sim'), '--pty'], stdout=subprocess.PIPE,
                                stdin=subprocess.DEVNULL, text=True)
    try:
        pty = sim_proc.stdout.readline().strip()
        ours = subprocess.run([os.path.join(build, 'tools', 'cli', 'qd500'), '-p', pty, 'run', '--scriptor', script],
                              capture_output=True, text=True, timeout=30)
    finally:
        sim_proc.terminate()
        sim_proc.wait(timeout=10)
    assert ours.returncode == 0, ours.stdout + ours.stderr

    def exchanges(out: str) -> List[str]:
        lines = [line for line in out.splitlines() if not line.startswith('Using T=')]
        return [line.split(' : ')[0] for line in lines]
    assert exchanges(ours.stdout) == exchanges(theirs.stdout), ours.stdout + '\n---\n' + theirs.stdout
    assert sum(line.startswith('> ') for line in ours.stdout.splitlines()) == 5, ours.stdout


@pytest.mark.parametrize('protocol', [scard.SCARD_PROTOCOL_T1, scard.SCARD_PROTOCOL_T0 | scard.SCARD_PROTOCOL_T1])
def test_a_t1_card_is_used_with_the_protocol_its_atr_offers(protocol: int) -> None:
    """Reader 6 holds a T=1-only card with a file system: connected with T=1
    or with either, T=1 is active, a file is selected by its path and its
    300 bytes read in the pieces a reply frame carries."""
    c = Card(6, protocol=protocol)
    try:
        assert c.protocol == scard.SCARD_PROTOCOL_T1
        assert c.ok(bytes.fromhex('00A4080C063F0050154E01'))[1] == 0x9000
        assert c.sw(bytes.fromhex('00B0000000')) == 0x6CFB  # Le 256: more than a frame carries
        first, sw = c.ok(bytes.fromhex('00B00000FB'))
        assert sw == 0x9000 and len(first) == 251
        rest, sw = c.ok(bytes.fromhex('00B000FB31'))
        assert sw == 0x9000 and len(rest) == 49
    finally:
        c.close()


def test_opensc_browses_and_dumps_the_iso_card() -> None:
    """OpenSC on reader 6 through pcscd: the ATR, opensc-explorer's cat of the
    300-byte file equal to the scenario's bytes, and pkcs15-tool's dump of
    the card's PKCS#15 application (OpenSC's default driver enabled by the
    test's own configuration)."""
    name = Card(6, protocol=scard.SCARD_PROTOCOL_T1)
    name.close()
    with open(os.path.join(HERE, 'scenarios', 'iso-t1.json')) as f:
        scenario = json.load(f)
    app = next(c for c in scenario['card']['files']['children'] if c['fid'] == '5015')
    expected = bytes.fromhex(next(c for c in app['children'] if c['fid'] == '4E01')['data'])
    conf = os.path.join(DIR, 'opensc.conf')
    with open(conf, 'w') as f:
        f.write('app default {\n  enable_default_driver = true;\n  card_drivers = default;\n}\n')
    env = dict(os.environ, OPENSC_CONF=conf)

    atr = subprocess.run(['opensc-tool', '-r', name.name, '-a'], capture_output=True, text=True, env=env, timeout=30)
    assert atr.stdout.strip() == '3b:88:01:51:44:35:30:30:53:49:4d:fe', atr.stdout + atr.stderr
    explorer = subprocess.run(['opensc-explorer', '-r', name.name], input='cd 5015\ncat 4E01\nquit\n',
                              capture_output=True, text=True, env=env, timeout=60)
    dumped = bytes.fromhex(''.join(line[10:58] for line in explorer.stdout.splitlines()
                                   if len(line) > 10 and line[8:10] == ': '))
    assert dumped == expected, explorer.stdout + explorer.stderr
    start = time.monotonic()
    dump = subprocess.run(['pkcs15-tool', '--reader', name.name, '--dump'], capture_output=True, text=True, env=env,
                          timeout=60)
    print(f'pkcs15-tool --dump through pcscd and the driver: {time.monotonic() - start:.2f} s')
    assert 'PKCS#15 Card [QD500 SIM TOKEN]' in dump.stdout and 'PIN [User PIN]' in dump.stdout, \
        dump.stdout + dump.stderr


VPCD_CARD = os.path.join(HERE, '..', 'support', 'vpcd_card.py')


def vpcd_address(reader: int) -> str:
    """Where reader's simulator listens for a vpcd card, or connects to one."""
    with open(os.path.join(DIR, 'sim%d.out' % reader)) as f:
        return next(line.split()[2] for line in f if line.startswith('vpcd '))


def present(reader: int) -> bool:
    """The card state pcscd reports for reader."""
    rc, context = scard.SCardEstablishContext(scard.SCARD_SCOPE_USER)
    assert rc == scard.SCARD_S_SUCCESS
    try:
        rc, readers = scard.SCardListReaders(context, [])
        name = next(r for r in readers if r.startswith('qd500 sim %d ' % reader))
        rc, states = scard.SCardGetStatusChange(context, 0, [(name, scard.SCARD_STATE_UNAWARE)])
        assert rc == scard.SCARD_S_SUCCESS, scard.SCardGetErrorMessage(rc)
        return bool(states[0][1] & scard.SCARD_STATE_PRESENT)
    finally:
        scard.SCardReleaseContext(context)


@pytest.mark.parametrize('t1', [False, True])
def test_a_vpcd_card_through_pcscd(t1: bool) -> None:
    """The tests' own vpcd card in reader 7: its ATR and protocol, a SELECT
    by name (on T=0 the FCI behind 61xx, fetched; on T=1 whole), and the
    reader empty once the card has left."""
    until(lambda: not present(7), 10, 'reader 7 still holds an earlier card')
    card = subprocess.Popen(['/usr/bin/python3', VPCD_CARD, '--connect', vpcd_address(7)] + (['--t1'] if t1 else []))
    try:
        until(lambda: present(7), 10, 'the vpcd card never came into reader 7')
        c = Card(7, protocol=scard.SCARD_PROTOCOL_T0 | scard.SCARD_PROTOCOL_T1)
        try:
            assert c.protocol == (scard.SCARD_PROTOCOL_T1 if t1 else scard.SCARD_PROTOCOL_T0)
            assert c.atr()[:3] == bytes([0x3B, 0x88, 0x01 if t1 else 0x00]) and c.atr()[3:11] == b'VPCDCARD'
            select = bytes.fromhex('00A4040009') + b'\xF0QD500VPC'
            if not t1:
                assert c.sw(select) == 0x6112
                select = bytes.fromhex('00C0000012')
            fci, sw = c.ok(select)
            assert sw == 0x9000 and fci[:2] == b'\x6F\x10' and b'\xF0QD500VPC' in fci
        finally:
            c.close()
    finally:
        card.kill()
        card.wait()
    until(lambda: not present(7), 10, 'the card that left is still in reader 7')


def test_debian_vicc_through_pcscd() -> None:
    """Debian's vicc (vsmartcard-vpicc) in reversed mode, reader 8 connecting
    to it: its ATR and a SELECT of the MF without FCI (its FCI answers crash
    its TLV packer under Python 3). Its module lies outside Python's path and
    imports PyCryptodome as Crypto, which Debian installs as Cryptodome: both
    mended here, for the test only."""
    vicc = shutil.which('vicc')
    if vicc is None:
        pytest.skip('vicc is not installed (Debian package vsmartcard-vpicc)')
    shim = os.path.join(DIR, 'vicc-shim', 'Crypto')
    os.makedirs(shim, exist_ok=True)
    with open(os.path.join(shim, '__init__.py'), 'w') as f:
        f.write('import sys\nimport Cryptodome\nsys.modules[__name__] = Cryptodome\n')
    env = dict(os.environ, PYTHONPATH='/usr/lib/python3/site-packages/virtualsmartcard:' + os.path.dirname(shim))
    log = os.path.join(DIR, 'vicc.log')
    with open(log, 'w') as out:
        process = subprocess.Popen([vicc, '-t', 'iso7816', '-R', '-P', vpcd_address(8).rsplit(':', 1)[1]],
                                   stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, env=env)
    try:
        deadline = time.monotonic() + 15
        while not present(8):
            if process.poll() is not None or time.monotonic() > deadline:
                with open(log) as f:
                    lines = f.read().strip().splitlines()
                pytest.skip('vicc did not start: ' + (lines[-1] if lines else 'no output'))
            time.sleep(0.1)
        c = Card(8, protocol=scard.SCARD_PROTOCOL_T0 | scard.SCARD_PROTOCOL_T1)
        try:
            assert c.atr() == bytes.fromhex('3B951381018073FF01000B')  # vicc 3.3's ISO 7816 card: T=1
            assert c.protocol == scard.SCARD_PROTOCOL_T1
            assert c.sw(bytes.fromhex('00A4000C023F00')) == 0x9000
        finally:
            c.close()
    finally:
        process.kill()
        process.wait()
