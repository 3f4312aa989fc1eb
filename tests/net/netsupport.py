"""What the network suites share: Debian's ser2net in front of a simulator's
pty, with any accepters; a private pcscd with the driver's reader at a
network port; a test PKI made with the openssl command.

QD500_BUILD names the build (its libqd500.so, libqd500dll.so, qd500-sim,
qd500, libqd500-ifd.so); the tree's python/ is put on sys.path."""

from __future__ import annotations

import os
import signal
import socket
import subprocess
import sys
import tempfile
import shutil
import time
from typing import Iterator
from contextlib import contextmanager

BUILD = os.environ["QD500_BUILD"]
TREE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
sys.path.insert(0, os.path.join(TREE, "python"))
os.environ.setdefault("QD500_LIBRARY", os.path.join(BUILD, "libqd500.so"))
os.environ.setdefault("QD500_SIM", os.path.join(BUILD, "tools", "sim", "qd500-sim"))

import qd500  # noqa: E402

CLI = os.path.join(BUILD, "tools", "cli", "qd500")
DROP_IN = os.path.join(BUILD, "libqd500dll.so")
IFD = os.path.join(BUILD, "ifd", "libqd500-ifd.so")


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


class Ser2net:
    """ser2net on one simulated tty. By default a raw and an RFC 2217
    accepter; accepters maps a name to an accepter whose "{port}" is filled
    with a free port, and (for one) options the connection adds."""

    def __init__(self, tty: str, workdir: str, kick: bool = False,
                 accepters: dict[str, tuple[str, str]] | None = None) -> None:
        if accepters is None:
            accepters = {"raw": ("tcp(nodelay),127.0.0.1,{port}", ""),
                         "tel": ("telnet(rfc2217),tcp(nodelay),127.0.0.1,{port}", "")}
        self.ports = {name: free_port() for name in accepters}
        self.raw, self.telnet = self.ports.get("raw", 0), self.ports.get("tel", 0)
        self.config = os.path.join(workdir, "ser2net.yaml")
        options = "    chardelay: false\n" + ("    kickolduser: true\n" if kick else "")
        with open(self.config, "w") as f:
            for name, (accepter, extra) in accepters.items():
                f.write(f"connection: &{name}\n  accepter: {accepter.format(port=self.ports[name])}\n"
                        f"  connector: serialdev,{tty},9600n81,local\n  options:\n{options}{extra}")
        self.process: subprocess.Popen[bytes] | None = None
        self.start()

    def start(self) -> None:
        self.process = subprocess.Popen(["ser2net", "-n", "-c", self.config],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 5
        for port in self.ports.values():
            while True:
                try:
                    socket.create_connection(("127.0.0.1", port), timeout=1).close()
                    break
                except OSError:
                    if time.monotonic() > deadline:
                        raise
                    time.sleep(0.05)

    def kill(self) -> None:
        if self.process is not None:
            self.process.kill()
            self.process.wait()
            self.process = None

    def urls(self) -> list[str]:
        return [f"socket://127.0.0.1:{self.raw}", f"rfc2217://127.0.0.1:{self.telnet}"]


def wait_free(url: str) -> None:
    """Until the port opens. The accepters share one tty, and ser2net lets
    the one go a moment after its client left ("Port's device already in
    use" meanwhile); with one accepter a device, as in use, that is no
    matter."""
    deadline = time.monotonic() + 3
    while True:
        try:
            qd500.Reader(url).close()
            return
        except qd500.PortError as error:
            if "device already in use" not in str(error) or time.monotonic() > deadline:
                raise
            time.sleep(0.05)


class Pcscd:
    """A private pcscd (its own /run in a mount namespace) with the driver's
    reader "qd500 net" at url; served() runs an APDU through scriptor."""

    def __init__(self, url: str) -> None:
        self.work = tempfile.mkdtemp(prefix="qd500-pcsc-net-")
        os.makedirs(os.path.join(self.work, "conf"))
        os.makedirs(os.path.join(self.work, "run", "pcscd"))
        with open(os.path.join(self.work, "conf", "qd500-net"), "w") as f:
            f.write(f'FRIENDLYNAME "qd500 net"\nDEVICENAME   "{url}"\nLIBPATH      {IFD}\n')
        unshare = ["unshare", "-m", "--propagation", "private"] if os.getuid() == 0 else \
            ["unshare", "-Urm", "--propagation", "private"]
        self.process = subprocess.Popen(unshare + ["sh", "-c", f"mount --bind '{self.work}/run' /run && exec pcscd "
                                                   f"-f -c '{self.work}/conf'"],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.env = dict(os.environ, PCSCLITE_CSOCK_NAME=f"{self.work}/run/pcscd/pcscd.comm")
        self.script = os.path.join(self.work, "s.apdu")
        with open(self.script, "w") as f:
            f.write("reset\n00 84 00 00 08\n")

    def served(self, seconds: float) -> bool:
        """A GET CHALLENGE answered 90 00 through the reader within seconds."""
        deadline = time.monotonic() + seconds
        while True:
            run = subprocess.run(["scriptor", "-r", "qd500 net 00 00", self.script], capture_output=True, text=True,
                                 env=self.env, timeout=30)
            if "90 00 : Normal processing." in run.stdout:
                return True
            if time.monotonic() > deadline:
                return False
            time.sleep(0.1)

    def stop(self) -> None:
        self.process.send_signal(signal.SIGINT)
        self.process.wait(10)
        shutil.rmtree(self.work, ignore_errors=True)


@contextmanager
def pcscd(url: str) -> Iterator[Pcscd]:
    daemon = Pcscd(url)
    try:
        yield daemon
    finally:
        daemon.stop()


def openssl(*args: str) -> None:
    subprocess.run(["openssl", *args], check=True, capture_output=True)


class Pki:
    """A test CA and what it signs, in folder: ca.pem; server.pem/.key for
    127.0.0.1 and localhost; wrongname.pem/.key for another name only;
    client.pem/.key (common name qd500-client); and other-ca.pem with
    stranger.pem/.key, a server certificate for 127.0.0.1 from another CA."""

    def __init__(self, folder: str) -> None:
        self.dir = folder
        os.makedirs(folder, exist_ok=True)
        self.ca("ca")
        self.ca("other-ca")
        self.sign("server", "ca", "localhost", "subjectAltName=IP:127.0.0.1,DNS:localhost")
        self.sign("wrongname", "ca", "elsewhere.example", "subjectAltName=DNS:elsewhere.example")
        self.sign("client", "ca", "qd500-client", "extendedKeyUsage=clientAuth")
        self.sign("stranger", "other-ca", "localhost", "subjectAltName=IP:127.0.0.1,DNS:localhost")

    def path(self, name: str) -> str:
        return os.path.join(self.dir, name)

    def key(self, name: str) -> list[str]:
        return ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
                self.path(name + ".key")]

    def ca(self, name: str) -> None:
        openssl("req", "-x509", *self.key(name), "-out", self.path(name + ".pem"), "-days", "2",
                "-subj", f"/CN=qd500 test {name}")

    def sign(self, name: str, ca: str, common: str, extension: str) -> None:
        openssl("req", "-new", *self.key(name), "-out", self.path(name + ".csr"), "-subj", f"/CN={common}")
        ext = self.path(name + ".ext")
        with open(ext, "w") as f:
            f.write(extension + "\n")
        openssl("x509", "-req", "-in", self.path(name + ".csr"), "-CA", self.path(ca + ".pem"), "-CAkey",
                self.path(ca + ".key"), "-CAcreateserial", "-out", self.path(name + ".pem"), "-days", "2",
                "-extfile", ext)
