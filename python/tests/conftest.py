"""The tests drive the installed package against qd500-sim through the
package's own pytest plugin (qd500_sim), as an application's tests would."""

from __future__ import annotations

from typing import Iterator

import pytest

import qd500
from qd500.testing import Simulator


@pytest.fixture
def reader(qd500_sim: Simulator) -> Iterator[qd500.Reader]:
    with qd500.Reader(qd500_sim.port) as r:
        yield r


def host_frames(sim: Simulator) -> list[str]:
    """The frames the simulator received."""
    return [line for line in sim.frames() if " host> " in line]
