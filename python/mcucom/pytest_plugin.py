# SPDX-License-Identifier: MIT
"""A pytest plugin for suites that drive the MCU line: the simulated MCU (mcusim) started from
inside the test, or a real line in its place.

Installed with the package (its entry point is pytest11's "mcucom"; where the package was
installed without one, put ``pytest_plugins = ["mcucom.pytest_plugin"]`` in a conftest.py).

Fixtures:
  mcusim   a factory: ``mcusim(*options, scenario=None, junit=None, link=None)`` starts
           ``mcusim --serve pty`` (``pty:LINK`` with link, a path that stays the line's across
           the hang-ups of ``--hangup-after``) with the fault options and scenario given and
           returns a Simulator, whose ``path`` is the line to open; each is stopped when the test ends, its report and
           verdict kept (``stop()`` returns the exit status: 6 for unmet expectations).
           Skipped, with the reason, when the suite runs against a real line.
  mcusim_session  the same factory for a session: what it starts serves every test that
           asks for it and is stopped when the session ends.
  mcu_line the line a test opens: a fresh simulated MCU's, or the real line.

Options: ``--mcucom-line PATH`` runs the suite against a real line (the MCU itself at the far
end, or another program serving it) instead of the simulator, as MCUCOM_TEST_LINE does;
``--mcusim PATH`` names the simulator (default: MCUSIM, or mcusim on the PATH).
"""
import os
import signal
import subprocess
import threading
import time
from typing import List, Optional

import pytest


class Simulator:
    """mcusim serving a new pseudo-terminal as the MCU; ``path`` is the board's side."""

    def __init__(self, program: str, options, scenario: Optional[str] = None,
                 junit: Optional[str] = None, link: Optional[str] = None) -> None:
        command = [program, *options]
        if scenario is not None:
            command += ["--scenario", str(scenario)]
        if junit is not None:
            command += ["--junit", str(junit)]
        served = "pty:%s" % link if link is not None else "pty"
        self.process = subprocess.Popen(command + ["--serve", served], stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)
        first = self.process.stdout.readline()
        if "serving a pseudo-terminal at " not in first:
            self.process.kill()
            self.process.wait()
            raise RuntimeError("mcusim did not serve a pseudo-terminal: %s%s" %
                               (first, self.process.stderr.read()))
        self.path = first.rsplit(" ", 1)[-1].strip()
        self.report: List[str] = []
        self.errors = ""
        self.status: Optional[int] = None
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self) -> None:
        for line in self.process.stdout:
            self.report.append(line)

    def wait_for_requests(self, code: int, count: int, timeout: float = 30) -> None:
        """Returns once the MCU has received count requests of code."""
        seen = "cmd 0x%04x " % code
        deadline = time.monotonic() + timeout
        while sum(seen in line for line in list(self.report)) < count:
            assert time.monotonic() < deadline, "no %d requests of %04x came" % (count, code)
            time.sleep(0.01)

    def kill(self) -> None:
        """The MCU's end goes away at once, as when a cable is pulled."""
        self.process.kill()
        self.process.wait()

    def stop(self) -> int:
        """Ends the simulator as a stop signal does; its exit status: 0, or 6 when the
        scenario's expectations were not met (each said in ``errors``)."""
        if self.status is None:
            stopped_here = self.process.poll() is None
            if stopped_here:
                self.process.terminate()
            self.status = self.process.wait(timeout=30)
            # Without expectations, a served line ends by the stop signal itself: a clean end.
            if stopped_here and self.status == -signal.SIGTERM:
                self.status = 0
            self.errors = self.process.stderr.read()
            self._reader.join(timeout=30)
        return self.status


def pytest_addoption(parser) -> None:
    group = parser.getgroup("mcucom", "the MCU line")
    group.addoption("--mcucom-line", default=os.environ.get("MCUCOM_TEST_LINE"),
                    help="run against this real line instead of the simulated MCU "
                         "(default: MCUCOM_TEST_LINE)")
    group.addoption("--mcusim", default=os.environ.get("MCUSIM", "mcusim"),
                    help="the simulator to start (default: MCUSIM, or mcusim on the PATH)")


def _factory(request):
    """mcusim(*options, scenario=None, junit=None, link=None) -> Simulator, and the simulators
    it started, for the fixture to stop at the end of its scope."""
    real = request.config.getoption("--mcucom-line")
    program = request.config.getoption("--mcusim")
    started: List[Simulator] = []

    def make(*options, scenario=None, junit=None, link=None) -> Simulator:
        if real:
            what = " ".join([*options] + (["a scenario"] if scenario else []))
            pytest.skip("needs the simulated MCU%s; the line is %s" %
                        (" with " + what if what else "", real))
        started.append(Simulator(program, options, scenario, junit, link))
        return started[-1]

    return make, started


@pytest.fixture
def mcusim(request):
    """A factory of simulated MCUs: mcusim(*options, scenario=None, junit=None) -> Simulator,
    each stopped when the test ends. Skipped when the suite runs against a real line."""
    make, started = _factory(request)
    yield make
    for simulator in started:
        simulator.stop()


@pytest.fixture(scope="session")
def mcusim_session(request):
    """The same factory for a whole session: a simulator started once, with its scenario, serves
    every test that uses it, and is stopped (its verdict judged) when the session ends."""
    make, started = _factory(request)
    yield make
    for simulator in started:
        simulator.stop()


@pytest.fixture
def mcu_line(request, mcusim) -> str:
    """The line a test opens: the real line when one is given, else a simulated MCU's."""
    real = request.config.getoption("--mcucom-line")
    return real if real else mcusim().path
