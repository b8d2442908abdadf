# SPDX-License-Identifier: MIT
"""What the suites run against: the package's own pytest plugin (mcucom.pytest_plugin), whose
mcusim fixture starts the simulated MCU for each test with the fault options it asks for, or a
real line when MCUCOM_TEST_LINE (or --mcucom-line) names it (a USB serial adapter on the board's
MCU line, say). There the tests that need the simulator's options are skipped, with the
reason."""
import pytest

pytest_plugins = ["mcucom.pytest_plugin"]


@pytest.fixture
def served(mcusim):
    """The plugin's factory of simulated lines: served(*options) -> Simulator."""
    return mcusim


@pytest.fixture
def line(request, mcusim):
    """A factory of line paths: line(*options) -> the device a link opens. On a real line
    there are no options to give: a test that gives any is skipped, with the reason."""
    real = request.config.getoption("--mcucom-line")

    def make(*options):
        if real:
            if options:
                pytest.skip("needs the simulator's fault options (%s); the line is %s" %
                            (" ".join(options), real))
            return real
        return mcusim(*options).path

    return make
