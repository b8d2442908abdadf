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
                        "expect:\n  - {request: 0x0006, within_ms: 1000}\n"
                        "  - {never: 0x0303}\n")
    junit = tmp_path / "junit.xml"
    met = mcusim(scenario=scenario, junit=junit)
    time.sleep(1.5)  # a served line's times count from the program's first byte
    with mcucom.Link(met.path) as link:
        assert link.command(6, SIX, timeout_ms=5000).result == 0x2a
    assert met.stop() == 0
    assert 'tests="2" failures="0"' in junit.read_text()
    unmet = mcusim(scenario=scenario)
    with mcucom.Link(unmet.path) as link:
        link.command(0x0303, b"\x01", timeout_ms=5000)
    assert unmet.stop() == 6
    assert "no request 0303: 1 came" in unmet.errors


def _kinds_seen(mcu, first_serial: int, delay: float = 0, until=None) -> dict:
    """Commands of two codes on a link from first_serial, each given up after 100 ms, and the
    events that came, by kind: until they are `until`, when given (at most 10 s), and then
    those still on the line when the simulator stops. The answers sent late come 400 ms after
    their command gave up, so that a busy machine, waking a command late, does not take a late
    answer for its own."""
    time.sleep(delay)
    kinds: dict = {}

    def take(events):
        for event in events:
            if event.kind != mcucom.EventKind.LINE_LOST:
                kinds[event.kind] = kinds.get(event.kind, 0) + 1

    with mcucom.Link(mcu.path, first_serial=first_serial) as link:
        for n in range(30):
            try:
                link.command((6, 0x0303)[n % 2], SIX, timeout_ms=100)
            except mcucom.NoAnswer:
                pass
            take(link.read_events(timeout_ms=0))
        limit = time.monotonic() + 10
        while until is not None and kinds != until and time.monotonic() < limit:
            take(link.read_events(timeout_ms=100))
        assert mcu.stop() == 0, mcu.errors
        take(link.events(timeout_ms=300))
    return kinds


def test_a_recording_replays_the_same_whatever_the_serial_numbers(mcusim, tmp_path):
    """Recorded from one first serial number and replayed to another (and started later): the
    same answers given up on, copies, late answers and MCU frames."""
    recording = tmp_path / "recorded.yaml"
    recorded = _kinds_seen(mcusim("--late", "3", "--late-ms", "500", "--duplicate", "0.5",
                                  "--unasked", "0x0019", "--unasked-ms", "25",
                                  "--record", str(recording)), first_serial=1)
    assert set(recorded) == {mcucom.EventKind.UNASKED, mcucom.EventKind.LATE_ANSWER,
                             mcucom.EventKind.COPY}, recorded
    for first_serial, delay in ((200, 0), (77, 1.5)):
        assert _kinds_seen(mcusim(scenario=recording), first_serial, delay, recorded) == \
            recorded, (first_serial, delay)


@pytest.fixture(scope="session")
def shared_mcu(mcusim_session):
    """One simulated MCU with a scenario for the session's tests that ask for it."""
    folder = tempfile.mkdtemp(prefix="mcu")
    scenario = os.path.join(folder, "shared.yaml")
    with open(scenario, "w") as file:
        file.write("commands:\n  0x0006:\n    answer: {result: 0x33}\n")
    yield mcusim_session(scenario=scenario)
    shutil.rmtree(folder, ignore_errors=True)


@pytest.mark.parametrize("turn", [1, 2])
def test_a_session_simulator_serves_test_after_test(shared_mcu, turn):
    with mcucom.Link(shared_mcu.path) as link:
        assert link.command(6, SIX, timeout_ms=5000).result == 0x33
    # The same simulator, still serving: its report holds the earlier tests' requests too.
    def received():
        return sum("received frame" in line and "cmd 0x0006 " in line
                   for line in list(shared_mcu.report))

    deadline = time.monotonic() + 30
    while received() < turn and time.monotonic() < deadline:
        time.sleep(0.01)
    assert received() == turn


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
            # Read as a daemon reads: every event until the loss, however many come first.
            kinds: list = []
            deadline = time.monotonic() + 5
            while mcucom.EventKind.LINE_LOST not in kinds and time.monotonic() < deadline:
                kinds += [event.kind for event in link.read_events(timeout_ms=100)]
            assert mcucom.EventKind.LINE_LOST in kinds, kinds
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
