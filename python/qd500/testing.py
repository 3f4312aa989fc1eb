"""The reader simulator for tests: qd500-sim on a pseudo-terminal.

    with Simulator({"card": {"type": "S4442"}}) as sim:
        with qd500.Reader(sim.port) as reader:
            ...
        sim.remove()

As a pytest plugin (loaded through its pytest11 entry point) it gives the
fixture qd500_sim, a started Simulator stopped after the test, pass or fail.
Its scenario comes from the marker qd500_scenario(dict, baud=None,
vpcd_listen=None, vpcd_connect=None) or from a qd500_scenario fixture the
tests define. The simulator is QD500_SIM where that is set, else qd500-sim
on PATH.

With vpcd_listen (or vpcd_connect) the CPU slot holds a card another program
runs, a card emulator speaking vpcd's protocol:

    with Simulator(vpcd_listen="127.0.0.1:0") as sim:
        start_emulator(connect_to=sim.vpcd_address)    # it connects: inserted
"""

from __future__ import annotations

import json
import os
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import weakref
from types import TracebackType
from typing import Any, Iterator

_START_SECONDS = 10.0


class SimulatorError(RuntimeError):
    """The simulator did not start or refused a control command."""


def find_simulator() -> str:
    named = os.environ.get("QD500_SIM")
    found = named or shutil.which("qd500-sim")
    if not found:
        raise SimulatorError("qd500-sim not found: set QD500_SIM to its path or put it on PATH")
    return found


def _word(value: str, what: str) -> str:
    # Control lines are split at blanks: a word must hold none.
    if not isinstance(value, str):
        raise TypeError(f"{what} must be str, not {type(value).__name__}")
    if not value or value == "-" or any(c.isspace() for c in value):
        raise ValueError(f"{what} must be a non-empty text without blanks: {value!r}")
    return value


def _end(process: subprocess.Popen[bytes]) -> None:
    """Stops the simulator by its process id: SIGTERM, then SIGKILL."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


class Simulator:
    """qd500-sim --pty with a scenario (a dict as its JSON scenario; None:
    the simulator's default, a CPU card), driven through its control socket
    and stopped by its process id. baud paces the line (None: unpaced).

    port is a link to the simulator's pty that follows it across simulated
    hang-ups, so Reader.reopen() finds the line again.

    vpcd_listen="HOST:PORT" puts a vpcd card in the CPU slot: the slot is
    empty until a card emulator connects there (port 0: a free one, then
    vpcd_address says which), and empty again when it leaves;
    vpcd_connect="HOST:PORT" connects to an emulator that listens there."""

    def __init__(
        self,
        scenario: dict[str, Any] | None = None,
        *,
        baud: int | None = None,
        vpcd_listen: str | None = None,
        vpcd_connect: str | None = None,
    ) -> None:
        if vpcd_listen is not None and vpcd_connect is not None:
            raise ValueError("vpcd_listen and vpcd_connect exclude each other: there is one CPU slot")
        self.scenario = scenario
        self.baud = baud
        self.vpcd_listen = vpcd_listen
        self.vpcd_connect = vpcd_connect
        # With vpcd_listen: where the simulator waits for the card, "HOST:PORT".
        self.vpcd_address = ""
        self.port = ""
        self._process: subprocess.Popen[bytes] | None = None
        self._stopper: weakref.finalize | None = None
        self._dir: tempfile.TemporaryDirectory[str] | None = None
        self._control: socket.socket | None = None
        # Control commands that failed in threads other than the main one.
        self.errors: list[SimulatorError] = []

    @property
    def pid(self) -> int | None:
        return self._process.pid if self._process else None

    @property
    def log_path(self) -> str:
        """The simulator's frame log: every frame in ("host>") and out ("sim>")."""
        return self._path("frames.log")

    def start(self) -> Simulator:
        executable = find_simulator()
        self._dir = tempfile.TemporaryDirectory(prefix="qd500-sim-")
        command = [executable, "--pty", "--control", self._path("control"), "--log", self.log_path]
        command += ["--link", self._path("port")]
        if self.scenario is not None:
            with open(self._path("scenario.json"), "w", encoding="utf-8") as f:
                json.dump(self.scenario, f)
            command += ["--scenario", self._path("scenario.json")]
        if self.baud is not None:
            command += ["--baud", str(self.baud)]
        if self.vpcd_listen is not None:
            command += ["--vpcd-listen", _word(self.vpcd_listen, "vpcd_listen")]
        if self.vpcd_connect is not None:
            command += ["--vpcd-connect", _word(self.vpcd_connect, "vpcd_connect")]
        # Files, not pipes: new slave paths after hang-ups never fill a pipe nobody reads.
        with open(self._path("stdout"), "wb") as out, open(self._path("stderr"), "wb") as err:
            self._process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        # Also when the object is dropped unstopped, or the interpreter exits.
        self._stopper = weakref.finalize(self, _end, self._process)
        try:
            deadline = time.monotonic() + _START_SECONDS
            self._wait(deadline, self._first_line)
            if self.vpcd_listen is not None or self.vpcd_connect is not None:
                self.vpcd_address = self._wait(deadline, self._vpcd_line)
            self.port = self._path("port")
            self._control = self._wait(deadline, self._connect)
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self) -> None:
        """Stops the simulator by its process id and removes its files."""
        if self._control is not None:
            self._control.close()
            self._control = None
        if self._stopper is not None:
            self._stopper()
            self._stopper = None
            self._process = None
        if self._dir is not None:
            self._dir.cleanup()
            self._dir = None

    def __enter__(self) -> Simulator:
        return self.start()

    def __exit__(
        self, kind: type[BaseException] | None, value: BaseException | None, traceback: TracebackType | None
    ) -> None:
        self.stop()

    # ---- control ----

    def insert(self, card_type: str) -> None:
        """Puts a fresh card of that type ("S4442", "CPU", ...) into the slot."""
        self._command("insert " + _word(card_type, "card type"))

    def remove(self) -> None:
        """Takes the card out of the slot."""
        self._command("remove")

    def swipe(self, track2: str | None, track3: str | None) -> None:
        """Swipes a card past the head; None (or "-", as the simulator writes
        it) for a track it cannot read."""
        texts = ["-" if t is None or t == "-" else _word(t, "track") for t in (track2, track3)]
        self._command("swipe " + " ".join(texts))

    def dump(self) -> str:
        """The slot, the head and the card's whole state, as text."""
        return self._command("dump")

    def frames(self) -> list[str]:
        """The frame log's lines so far."""
        with open(self.log_path, encoding="utf-8", errors="replace") as f:
            return f.read().splitlines()

    # ---- helpers ----

    def _path(self, name: str) -> str:
        if self._dir is None:
            raise SimulatorError("the simulator is not running")
        return os.path.join(self._dir.name, name)

    def _wait(self, deadline: float, attempt: Any) -> Any:
        while True:
            found = attempt()
            if found:
                return found
            if self._process is None or self._process.poll() is not None:
                with open(self._path("stderr"), encoding="utf-8", errors="replace") as f:
                    raise SimulatorError("qd500-sim ended: " + f.read().strip())
            if time.monotonic() > deadline:
                raise SimulatorError("qd500-sim did not start in time")
            time.sleep(0.01)

    def _first_line(self) -> str:
        with open(self._path("stdout"), encoding="utf-8") as f:
            line = f.readline()
        return line.strip() if line.endswith("\n") else ""

    def _vpcd_line(self) -> str:
        # "vpcd listen HOST:PORT" (or "vpcd connect ..."), after the pty's path.
        with open(self._path("stdout"), encoding="utf-8") as f:
            for line in f:
                words = line.split()
                if line.endswith("\n") and len(words) == 3 and words[0] == "vpcd":
                    return words[2]
        return ""

    def _connect(self) -> socket.socket | None:
        # The socket is bound after the pty is served: try until it is.
        control = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            control.connect(self._path("control"))
        except OSError:
            control.close()
            return None
        control.settimeout(_START_SECONDS)
        return control

    def _command(self, line: str) -> str:
        """Sends one control line; the answer's text before its closing "ok".
        A failure in another thread (a swipe on a timer) is also kept, so the
        fixture can raise it in the test instead of leaving a time-out."""
        try:
            return self._exchange(line)
        except SimulatorError as error:
            if threading.current_thread() is not threading.main_thread():
                self.errors.append(error)
            raise

    def _exchange(self, line: str) -> str:
        if self._control is None:
            raise SimulatorError("the simulator is not running")
        self._control.sendall(line.encode() + b"\n")
        answer = b""
        while True:
            chunk = self._control.recv(4096)
            if not chunk:
                raise SimulatorError(f"the simulator closed its control socket on {line!r}")
            answer += chunk
            lines = answer.decode("utf-8", errors="replace").splitlines()
            if answer.endswith(b"\n") and lines:
                last = lines[-1]
                if last == "ok":
                    return "\n".join(lines[:-1])
                if last.startswith("error: "):
                    raise SimulatorError(f"{line}: {last[7:]}")


try:
    import pytest
except ImportError:  # the context manager needs no pytest
    pytest = None  # type: ignore[assignment]

if pytest is not None:

    def pytest_configure(config: pytest.Config) -> None:
        config.addinivalue_line(
            "markers",
            "qd500_scenario(scenario, baud=None, vpcd_listen=None, vpcd_connect=None): the qd500_sim fixture's"
            " scenario, line rate and vpcd card",
        )

    @pytest.fixture
    def qd500_scenario() -> dict[str, Any] | None:
        """The qd500_sim fixture's scenario: None is the simulator's default."""
        return None

    @pytest.fixture
    def qd500_sim(request: pytest.FixtureRequest, qd500_scenario: dict[str, Any] | None) -> Iterator[Simulator]:
        """A started simulator, stopped after the test whatever its outcome."""
        marker = request.node.get_closest_marker("qd500_scenario")
        scenario, options = qd500_scenario, {}
        if marker is not None:
            scenario = marker.args[0] if marker.args else marker.kwargs.get("scenario")
            options = {k: marker.kwargs.get(k) for k in ("baud", "vpcd_listen", "vpcd_connect")}
        with Simulator(scenario, **options) as sim:
            yield sim
            if sim.errors:
                raise sim.errors[0]
