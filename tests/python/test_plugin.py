# SPDX-License-Identifier: MIT
"""The package's pytest plugin, as a test team's suite uses it: the simulated MCU started from
inside the test with a scenario, its verdict read back, and the line fixture."""
import os
import shutil
import tempfile
import time

import pytest

import mcucom

SIX = bytes.fromhex("00ff00ff0000001f")


def test_a_scenario_answers_and_its_verdict_is_read_back(mcusim, tmp_path):
    scenario = tmp_path / "scenario.yaml"
    scenario.write_text("commands:\n  0x0006:\n    answer: {result: 0x2a}\n"
                        "expect:\n  - {request: 0x0006}\n  - {never: 0x0303}\n")
    junit = tmp_path / "junit.xml"
    met = mcusim(scenario=scenario, junit=junit)
    with mcucom.Link(met.path) as link:
        assert link.command(6, SIX, timeout_ms=5000).result == 0x2a
    assert met.stop() == 0
    assert 'tests="2" failures="0"' in junit.read_text()
    unmet = mcusim(scenario=scenario)
    with mcucom.Link(unmet.path) as link:
        link.command(0x0303, b"\x01", timeout_ms=5000)
    assert unmet.stop() == 6
    assert "no request 0303: 1 came" in unmet.errors


def test_the_line_fixture_is_answered(mcu_line):
    with mcucom.Link(mcu_line) as link:
        answer = link.command(6, SIX, timeout_ms=5000)
    assert answer.payload[0] == answer.serial


@pytest.fixture
def short_folder():
    """A folder whose paths are short enough for a device (51 characters at most), removed
    at the end whatever the test did."""
    folder = tempfile.mkdtemp(prefix="mcu")
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


@pytest.mark.parametrize("by", ["options", "scenario"])
def test_a_daemon_reopens_a_line_that_hangs_up_at_the_same_path(mcusim, short_folder, by):
    """The line hangs up after three requests, and comes back 200 ms later at the same path:
    a daemon's reopen path, as a test drives it; asked for by options or by a scenario."""
    folder = short_folder
    path = os.path.join(folder, "ttyMCU")
    if by == "options":
        mcu = mcusim("--hangup-after", "3", "--hangup-ms", "200", link=path)
    else:
        scenario = os.path.join(folder, "lost.yaml")
        with open(scenario, "w") as file:
            file.write("line: {hangup_after: 3, hangup_ms: 200}\n")
        mcu = mcusim(scenario=scenario, link=path)
    for attempt in range(2):
        link = _open_when_back(path)
        with link:
            with pytest.raises(mcucom.LineLost):
                for n in range(1000):
                    link.command(6, SIX, timeout_ms=5000)
            assert n >= 2, "the line went before its third request"
            kinds = [event.kind for event in link.read_events(timeout_ms=5000)]
            assert mcucom.EventKind.LINE_LOST in kinds
    assert mcu.stop() == 0
    assert sum("hung up " + path in line for line in mcu.report) >= 2
    assert not os.path.lexists(path)  # removed at the end


def _open_when_back(path, timeout=30):
    """A link on path, opened as soon as the line is back up."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            return mcucom.Link(path)
        except (FileNotFoundError, mcucom.McuError):  # not back yet, or going down again
            assert time.monotonic() < deadline, "the line did not come back at " + path
            time.sleep(0.05)
