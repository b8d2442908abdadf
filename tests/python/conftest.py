# SPDX-License-Identifier: MIT
"""What the suites run against: the simulated MCU by default, each test with the fault options
it asks for (mcusim --serve pty, a pseudo-terminal of its own per line), or a real line when
MCUCOM_TEST_LINE names it (a USB serial adapter on the board's MCU line, say). There the
tests that need the simulator's options are skipped, with the reason."""
import os
import subprocess
import threading
import time

import pytest

MCUSIM = os.environ.get("MCUSIM", "mcusim")
REAL_LINE = os.environ.get("MCUCOM_TEST_LINE")


class ServedLine:
    """mcusim serving a new pseudo-terminal as the MCU; path is the board's side."""

    def __init__(self, options):
        self.process = subprocess.Popen([MCUSIM, *options, "--serve", "pty"],
                                        stdout=subprocess.PIPE, text=True)
        first = self.process.stdout.readline()
        if "serving a pseudo-terminal at " not in first:
            self.process.kill()
            raise RuntimeError("mcusim did not serve a pseudo-terminal: " + first)
        self.path = first.rsplit(" ", 1)[-1].strip()
        self.report = []
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for line in self.process.stdout:
            self.report.append(line)

    def wait_for_requests(self, code, count, timeout=30):
        """Returns once the MCU has received count requests of code (a command waits for its
        answer once its request is on the line)."""
        seen = "cmd 0x%04x " % code
        deadline = time.monotonic() + timeout
        while sum(seen in line for line in list(self.report)) < count:
            assert time.monotonic() < deadline, "no %d requests of %04x came" % (count, code)
            time.sleep(0.01)

    def kill(self):
        """The MCU's end goes away at once, as when a cable is pulled."""
        self.process.kill()
        self.process.wait()

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=30)
        self._reader.join(timeout=30)


@pytest.fixture
def served():
    """A factory of simulated lines: served(*options) -> ServedLine. Skipped on a real line."""
    lines = []

    def make(*options):
        if REAL_LINE:
            pytest.skip("needs the simulated MCU%s; the line is %s" %
                        (" with " + " ".join(options) if options else "", REAL_LINE))
        lines.append(ServedLine(options))
        return lines[-1]

    yield make
    for line in lines:
        line.stop()


@pytest.fixture
def line(served):
    """A factory of line paths: line(*options) -> the device a link opens. On a real line
    there are no options to give: a test that gives any is skipped, with the reason."""

    def make(*options):
        if REAL_LINE:
            if options:
                pytest.skip("needs the simulator's fault options (%s); the line is %s" %
                            (" ".join(options), REAL_LINE))
            return REAL_LINE
        return served(*options).path

    return make
