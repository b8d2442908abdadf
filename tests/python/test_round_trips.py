# SPDX-License-Identifier: MIT
"""The link's round trips, against the simulated MCU or a real line (MCUCOM_TEST_LINE): every
command gets its own answer. The checks that need the simulator's faults skip on a real line."""
import asyncio

import pytest

import mcucom

ACKED = [0x0002, 0x0006, 0x0303, 0x0404]


def test_every_command_gets_its_own_answer(line):
    with mcucom.Link(line()) as link:
        for n in range(200):
            code = ACKED[n % len(ACKED)]
            answer = link.command(code, bytes([n & 0xFF, 1]), timeout_ms=1000)
            assert answer.payload[0] == answer.serial


def test_payloads_of_every_size_and_codes_without_an_answer(line):
    with mcucom.Link(line()) as link:
        for size in (0, 1, 255, 1024):
            assert link.command(6, bytes(size), timeout_ms=1000).payload[0] >= 1
        written = link.command(8, b"\x01\x02")
        assert isinstance(written, mcucom.Written) and not hasattr(written, "result")


def test_commands_awaited_together_on_asyncio_get_their_own_answers(line):
    async def rounds(link, code):
        for n in range(50):
            answer = await link.command_async(code, bytes([n & 0xFF, 1]), timeout_ms=1000)
            assert answer.payload[0] == answer.serial
        return await link.command_async(8, b"\x01\x02")

    async def together(link):
        return await asyncio.gather(*(rounds(link, code) for code in ACKED))

    with mcucom.Link(line()) as link:
        written = asyncio.run(asyncio.wait_for(together(link), 60))
    assert all(isinstance(w, mcucom.Written) for w in written)


@pytest.mark.parametrize("faults", [
    ("--noise", "32", "--false-heads"),
    ("--split",),
    ("--duplicate", "0.5"),
    ("--delay", "20"),
    ("--unasked", "0x0019", "--unasked-ms", "5"),
])
def test_answers_stay_their_commands_own_under_faults(line, faults):
    with mcucom.Link(line("--result", "seq", *faults), first_serial=1) as link:
        for n in range(1, 101):
            answer = link.command(6, b"\x01\x02", timeout_ms=5000)
            assert (answer.payload[0], answer.result) == (answer.serial, n & 0xFF)
