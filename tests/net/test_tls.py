"""Readers across the network over TLS, against ser2net's ssl filter on
loopback with a test CA made here: both forms through every edge, the
server's certificate refused for another CA or another name, a client
certificate asked for and given or missing, and OpenSSL absent."""

from __future__ import annotations

import ctypes
import os
import shutil
import socket
import ssl
import struct
import subprocess
import tempfile
import threading
import time
from typing import Iterator

import pytest

from netsupport import CLI, DROP_IN, Pki, Ser2net, pcscd, wait_free
import qd500
from qd500.testing import Simulator


class TlsServer:
    """ser2net with TLS accepters on the simulator's tty: "raw" and "tel"
    with the server certificate; "wrongname" and "stranger" with a
    certificate for another name and from another CA; "auth" and "authraw"
    asking for a client certificate from the test CA."""

    def __init__(self, tty: str, work: str, pki: Pki) -> None:
        self.pki = pki
        ssl = "ssl(key={0}.key,cert={0}.pem{1})"
        server, auth = pki.path("server"), ",clientauth"
        authdir = os.path.join(work, "auth")
        allowed = os.path.join(authdir, "qd500-client", "allowed_certs")
        os.makedirs(allowed)
        shutil.copy(pki.path("ca.pem"), allowed)
        subprocess.run(["openssl", "rehash", allowed], check=True, capture_output=True)
        needs = f"    authdir: {authdir}\n"
        self.ser2net = Ser2net(tty, work, accepters={
            "raw": (ssl.format(server, "") + ",tcp(nodelay),127.0.0.1,{port}", ""),
            "tel": ("telnet(rfc2217)," + ssl.format(server, "") + ",tcp(nodelay),127.0.0.1,{port}", ""),
            "wrongname": ("telnet(rfc2217)," + ssl.format(pki.path("wrongname"), "") + ",tcp,127.0.0.1,{port}", ""),
            "stranger": ("telnet(rfc2217)," + ssl.format(pki.path("stranger"), "") + ",tcp,127.0.0.1,{port}", ""),
            "auth": ("telnet(rfc2217)," + ssl.format(server, auth) + ",tcp(nodelay),127.0.0.1,{port}", needs),
            "authraw": (ssl.format(server, auth) + ",tcp(nodelay),127.0.0.1,{port}", needs),
        })

    def url(self, name: str, client: bool = False) -> str:
        scheme = "socket+tls" if name.endswith("raw") else "rfc2217+tls"
        query = f"?ca={self.pki.path('ca.pem')}"
        if client:
            query += f"&cert={self.pki.path('client.pem')}&key={self.pki.path('client.key')}"
        return f"{scheme}://127.0.0.1:{self.ser2net.ports[name]}{query}"


@pytest.fixture(scope="module")
def pki() -> Iterator[Pki]:
    if shutil.which("openssl") is None:
        pytest.fail("the openssl command is not installed (scripts/install-deps.sh installs it)")
    folder = tempfile.mkdtemp(prefix="qd500-pki-")
    yield Pki(folder)
    shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture
def tls(pki: Pki) -> Iterator[TlsServer]:
    work = tempfile.mkdtemp(prefix="qd500-tls-")
    with Simulator() as sim:
        server = TlsServer(sim.port, work, pki)
        yield server
        server.ser2net.kill()
    shutil.rmtree(work, ignore_errors=True)


def refused(url: str) -> str:
    """The open's reason; the open must fail within a second or two."""
    start = time.monotonic()
    with pytest.raises(qd500.PortError) as error:
        qd500.Reader(url, timeout=3)
    assert time.monotonic() - start < 2
    return str(error.value)


def test_both_forms_through_every_edge(tls: TlsServer) -> None:
    for name in ("raw", "tel"):
        url = tls.url(name)
        wait_free(url)
        with qd500.Reader(url, timeout=3) as reader:
            reader.select_card("CPU")
            assert reader.power_on()[0] == 0x3B
            assert reader.transmit(bytes.fromhex("0084000008")).sw == 0x9000
        wait_free(url)
        cli = subprocess.run([CLI, "-p", url, "status"], capture_output=True, text=True, timeout=30)
        assert cli.returncode == 0 and "card: present" in cli.stdout, cli.stderr
        wait_free(url)
        dll = ctypes.CDLL(DROP_IN)
        msg, sw = ctypes.create_string_buffer(64), ctypes.create_string_buffer(8)
        resp = ctypes.create_string_buffer(600)
        os.environ["QD500_COM9"] = url
        try:
            assert dll.gOpenComIC(9, msg) == 0, msg.value
            atr = ctypes.create_string_buffer(508)
            assert dll.gSetCardType(b"CPU", msg) == 0, msg.value
            assert dll.gCardPowerOn(atr, msg) == 0, msg.value
            record = b"".join(f.ljust(3, b"\0") for f in (b"00", b"84", b"00", b"00", b"08")) + b"\0"
            assert dll.gCPUCommand(record, sw, resp, msg) == 0, msg.value
            assert sw.value == b"9000" and len(resp.value) == 16, (sw.value, resp.value)
        finally:
            dll.gCloseComIC(msg)
            del os.environ["QD500_COM9"]
    with pcscd(tls.url("tel")) as daemon:
        assert daemon.served(10)


def test_the_server_certificate_refused_before_anything_is_sent(tls: TlsServer) -> None:
    port = tls.ser2net.ports
    ca = tls.pki.path("ca.pem")
    assert "the server's certificate was refused: unable to get local issuer certificate" in \
        refused(f"rfc2217+tls://127.0.0.1:{port['stranger']}?ca={ca}")
    assert "the server's certificate is not for 127.0.0.1 (IP address mismatch)" in \
        refused(f"rfc2217+tls://127.0.0.1:{port['wrongname']}?ca={ca}")
    # Without ca= the system's store, which knows no test CA.
    assert "the server's certificate was refused" in refused(f"socket+tls://127.0.0.1:{port['raw']}")
    # A name checked as a name: localhost is in the certificate, elsewhere.example is not where we connect.
    with qd500.Reader(f"rfc2217+tls://localhost:{port['tel']}?ca={ca}", timeout=3) as reader:
        reader.select_card("CPU")
        reader.power_on()


def test_a_client_certificate_asked_for(tls: TlsServer) -> None:
    for name in ("auth", "authraw"):
        wait_free(tls.url(name, client=True))
        with qd500.Reader(tls.url(name, client=True), timeout=3) as reader:
            reader.select_card("CPU")
            assert reader.power_on()[0] == 0x3B
        time.sleep(0.2)
        assert "it asked for a client certificate and none was given" in refused(tls.url(name))
    # A certificate from a CA the server does not accept.
    pki = tls.pki
    other = (f"rfc2217+tls://127.0.0.1:{tls.ser2net.ports['auth']}?ca={pki.path('ca.pem')}"
             f"&cert={pki.path('stranger.pem')}&key={pki.path('stranger.key')}")
    assert "refusing the client certificate" in refused(other) or "server ended the TLS session" in refused(other)


def test_without_openssl_the_open_says_so(tls: TlsServer, tmp_path: str) -> None:
    # An unloadable libssl.so.3 first on the loader's search path.
    open(os.path.join(tmp_path, "libssl.so.3"), "w").close()
    env = dict(os.environ, LD_LIBRARY_PATH=str(tmp_path))
    run = subprocess.run([CLI, "-p", tls.url("tel"), "status"], capture_output=True, text=True, timeout=30, env=env)
    assert run.returncode != 0
    assert "TLS lines need OpenSSL 3 (libssl.so.3), which could not be loaded" in run.stderr, run.stderr


def test_a_connection_reset_is_a_failed_call_not_a_dead_process(pki: Pki) -> None:
    """A TLS server that resets the connection after the handshake. The
    tool does not ignore SIGPIPE as Python does: no TLS write to the reset
    connection (the command, a close notify) may kill it."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(pki.path("server.pem"), pki.path("server.key"))
    listener = socket.create_server(("127.0.0.1", 0))
    port = listener.getsockname()[1]

    def serve() -> None:
        conn, _ = listener.accept()
        with context.wrap_socket(conn, server_side=True) as tls:
            tls.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            time.sleep(0.1)
        listener.close()

    server = threading.Thread(target=serve)
    server.start()
    run = subprocess.run([CLI, "-p", f"socket+tls://127.0.0.1:{port}?ca={pki.path('ca.pem')}", "status"],
                         capture_output=True, text=True, timeout=30)
    server.join()
    assert run.returncode == 1, (run.returncode, run.stderr)
