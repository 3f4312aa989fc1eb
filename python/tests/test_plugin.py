"""The pytest plugin as an application's tests use it: the fixture, the
control channel, and the simulator stopped whatever the test's outcome."""

from __future__ import annotations

import os

import pytest

import qd500
from qd500.testing import Simulator, SimulatorError


@pytest.mark.qd500_scenario({"card": {"type": "S4442"}})
def test_card_removed_in_the_middle_of_a_test(qd500_sim: Simulator) -> None:
    with qd500.Reader(qd500_sim.port) as reader:
        reader.select_card("S4442")
        atr = reader.power_on()
        qd500_sim.remove()
        assert "card none" in qd500_sim.dump()
        with pytest.raises(qd500.NoCard):
            reader.read_memory(0, 4)
        qd500_sim.insert("S4442")
        reader.power_on()
        assert reader.read_memory(0, 4) == atr
    with pytest.raises(SimulatorError, match="S9999"):
        qd500_sim.insert("S9999")


def test_the_simulator_is_stopped_when_the_test_fails(pytester: pytest.Pytester) -> None:
    pytester.makepyfile(
        """
        import pytest

        @pytest.mark.qd500_scenario({"card": {"type": "none"}})
        def test_fails(qd500_sim):
            with open("pid", "w") as f:
                f.write(str(qd500_sim.pid))
            assert "card none" in qd500_sim.dump()
            assert False, "the application's failure"
        """
    )
    # The plugin comes in through its entry point, as it does for an application.
    pytester.runpytest().assert_outcomes(failed=1)
    pid = int((pytester.path / "pid").read_text())
    with pytest.raises(ProcessLookupError):
        os.kill(pid, 0)


def test_a_scenario_the_simulator_refuses_is_reported() -> None:
    with pytest.raises(SimulatorError, match="unknown card type"):
        Simulator({"card": {"type": "S9999"}}).start()


def test_a_swipe_in_the_simulators_notation_and_a_threads_failure_in_the_test(pytester: pytest.Pytester) -> None:
    pytester.makepyfile(
        """
        import threading
        import qd500

        def test_unreadable_track(qd500_sim):
            qd500_sim.swipe("6212345678901234567=3012", "-")
            with qd500.Reader(qd500_sim.port) as reader:
                assert reader.read_tracks().unreadable3

        def test_failure_in_a_thread(qd500_sim):
            failing = threading.Thread(target=qd500_sim.insert, args=("S9999",))
            failing.start()
            failing.join()
        """
    )
    result = pytester.runpytest()
    result.assert_outcomes(passed=2, errors=1)
    result.stdout.fnmatch_lines(["*SimulatorError: insert S9999: unknown card type*"])
