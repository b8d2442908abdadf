# SPDX-License-Identifier: MIT
"""The package's pytest plugin, as a test team's suite uses it: the simulated MCU started from
inside the test with a scenario, its verdict read back, and the line fixture."""
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
