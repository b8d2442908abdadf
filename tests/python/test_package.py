# SPDX-License-Identifier: MIT
"""The Python package's own behaviour: its frame helpers against frames written out by hand,
an exception per failure, events of each kind, commands and events on asyncio (and the asyncio
example), the link's lines, and a close under a waiting call. Against the simulated MCU (mcusim --serve pty)."""
import asyncio
import errno
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import mcucom

SIX = bytes.fromhex("00ff00ff0000001f")


@pytest.mark.parametrize("serial, flag, code, payload, wire", [
    (1, 0x41, 0x0002, b"", "75aa0004014100024675aa"),
    (0x10, 0x41, 0x0006, bytes.fromhex("a1b2c3"), "75aa000710410006a1b2c38075aa"),
])
def test_frames_are_laid_out_as_the_wire_has_them(serial, flag, code, payload, wire):
    assert mcucom.build_frame(serial, flag, code, payload).hex() == wire


def test_frames_are_found_in_bytes_with_noise_and_heads_that_never_came_whole():
    first = bytes.fromhex("75aa0004014100024675aa")
    second = bytes.fromhex("75aa00060000000610001075aa")
    false_head = bytes.fromhex("75aa0030")  # its len asks for 55 bytes: more than follow
    data = b"\x01\x75\x02" + first + false_head + second + second[:5]
    # Live, the false head waits for bytes that may still come: the search stops there.
    assert mcucom.find_frames(data, final=False) == ([(3, first)], 3 + len(first))
    # Over, it is noise, and so is the frame cut short at the end.
    assert mcucom.find_frames(data, final=True) == \
        ([(3, first), (3 + len(first) + 4, second)], len(data))


def test_the_defaults_are_the_librarys():
    assert mcucom.defaults() == {"device": "/dev/ttyAMA2", "baud_rate": 115200,
                                 "read_timeout_ms": 20, "event_queue_depth": 256}


def test_the_command_table():
    assert (mcucom.command_flag(6), mcucom.command_flag(8), mcucom.command_flag(0x10006)) == \
        (0x41, 0x01, 0)
    assert mcucom.expects_answer(6) and not mcucom.expects_answer(8)
    table = mcucom.command_table()
    assert (len(table), table[4], table[-1]) == (31, (0x0006, 0x41), (0x0404, 0x51))


@pytest.mark.parametrize("call, name", [
    (lambda link: link.command(0x100000006, SIX), "code"),
    (lambda link: link.command(-1, SIX), "code"),
    (lambda link: link.command(6, SIX, timeout_ms=2**32), "timeout_ms"),
    (lambda link: link.read_events(timeout_ms=-2), "timeout_ms"),
    (lambda link: link.read_events(max_events=0), "max_events"),
    (lambda link: mcucom.build_frame(261, 0x41, 6), "serial"),
    (lambda link: mcucom.build_frame(1, 0x141, 6), "flag"),
    (lambda link: mcucom.build_frame(1, 0x41, 0x10006), "code"),
    (lambda link: mcucom.command_flag(2**32 + 6), "code"),
    (lambda link: mcucom.Link(link.device, first_serial=256), "first_serial"),
    (lambda link: mcucom.Link(link.device, baud_rate=-115200), "baud_rate"),
])
def test_integers_out_of_range_are_refused_by_name(served, call, name):
    with mcucom.Link(served("--no-answer").path) as link:
        with pytest.raises(ValueError, match="^%s must be from " % name):
            call(link)


def test_integers_of_another_type_are_refused(served):
    with mcucom.Link(served("--no-answer").path) as link:
        with pytest.raises(TypeError, match="^timeout_ms must be an integer, not float"):
            link.command(6, SIX, timeout_ms=100.0)


def test_a_missing_library_is_said_with_the_variable_and_the_paths_tried():
    environment = dict(os.environ, MCUCOM_LIBRARY="/nonexistent/libmcucom.so.1")
    failed = subprocess.run([sys.executable, "-c", "import mcucom; mcucom.version()"],
                            env=environment, capture_output=True, text=True)
    assert failed.returncode != 0
    last = failed.stderr.strip().splitlines()[-1]
    assert last.startswith("mcucom._native.LibraryNotFound: the mcucom library was not found; "
                           "tried /nonexistent/libmcucom.so.1 (")
    assert last.endswith("Name it in MCUCOM_LIBRARY, or install it where the dynamic linker "
                         "looks (LD_LIBRARY_PATH, /usr/lib)")


def test_ctrl_c_ends_a_waiting_command_at_once(served):
    with mcucom.Link(served("--no-answer").path) as link:
        timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
        start = time.monotonic()
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            link.command(6, SIX, timeout_ms=60000)
        timer.join()
    assert time.monotonic() - start < 30  # not the command's 60 s


def test_each_failure_has_its_exception(served):
    quiet = served("--no-answer")
    with mcucom.Link(quiet.path, first_serial=1) as link:
        with pytest.raises(mcucom.NotInTable) as raised:
            link.command(0x0001)
        assert raised.value.errno == errno.ENOMSG
        with pytest.raises(mcucom.PayloadTooLong):
            link.command(6, bytes(1025))
        with pytest.raises(mcucom.NoAnswer) as raised:
            link.command(6, SIX, timeout_ms=20)
        assert isinstance(raised.value, TimeoutError) and isinstance(raised.value, OSError)
        outcome = []
        waiting = threading.Thread(target=lambda: outcome.append(_failure(link, 2000)))
        waiting.start()
        quiet.wait_for_requests(6, 2)  # the other command waits meanwhile
        with pytest.raises(mcucom.AlreadyWaiting):
            link.command(6, SIX)
        waiting.join()
        assert outcome == [mcucom.NoAnswer]
        with pytest.raises(mcucom.LineHeld):
            mcucom.Link(quiet.path)
    with pytest.raises(mcucom.LinkClosed):
        link.command(6, SIX)


def _failure(link, timeout_ms):
    """The kind of McuError a command 6 raises, or None when it is answered."""
    try:
        link.command(6, SIX, timeout_ms=timeout_ms)
    except mcucom.McuError as failure:
        return type(failure)
    return None


def test_a_close_ends_a_waiting_call_and_a_lost_line_is_said(served):
    quiet = served("--no-answer")
    link = mcucom.Link(quiet.path)
    outcome = []
    waiting = threading.Thread(target=lambda: outcome.append(_failure(link, 60000)))
    waiting.start()
    quiet.wait_for_requests(6, 1)
    link.close()
    waiting.join(timeout=30)
    assert outcome == [mcucom.LinkClosed]
    gone = served("--no-answer")
    with mcucom.Link(gone.path) as link:
        gone.kill()
        with pytest.raises(mcucom.LineLost):
            link.command(6, SIX, timeout_ms=60000)
        assert [event.kind for event in link.read_events(timeout_ms=5000)] == \
            [mcucom.EventKind.LINE_LOST]


@pytest.mark.parametrize("options, kind", [
    (("--late", "2", "--late-ms", "60"), mcucom.EventKind.LATE_ANSWER),
    (("--duplicate", "1"), mcucom.EventKind.COPY),
    (("--unasked", "0x0019", "--unasked-ms", "10"), mcucom.EventKind.UNASKED),
])
def test_events_say_what_each_frame_is(line, options, kind):
    with mcucom.Link(line(*options)) as link:
        for n in range(10):
            try:
                link.command(6, SIX, timeout_ms=30 if kind == mcucom.EventKind.LATE_ANSWER else 5000)
            except mcucom.NoAnswer:
                pass
        events = link.read_events(timeout_ms=2000)
        assert events and {event.kind for event in events} == {kind}
        assert [e.seqno for e in events] == list(range(events[0].seqno, events[0].seqno + len(events)))


def test_asyncio_commands_and_events(served):
    async def on_a_lively_line(link):
        answer = await link.command_async(6, SIX, timeout_ms=5000)
        async for event in link.events_async():
            return answer, event

    with mcucom.Link(served("--unasked", "0x0019", "--unasked-ms", "20").path) as link:
        for run in range(2):  # a second loop takes over from the first, ended
            answer, event = asyncio.run(asyncio.wait_for(on_a_lively_line(link), 30))
            assert answer.payload[0] == answer.serial
            assert (event.kind, event.code) == (mcucom.EventKind.UNASKED, 0x0019)

    async def on_a_silent_line(link):
        waiting = asyncio.ensure_future(link.command_async(0x0303, SIX, timeout_ms=60000))
        await asyncio.sleep(0)
        with pytest.raises(mcucom.AlreadyWaiting):
            await link.command_async(0x0303, SIX)
        with pytest.raises(ValueError):
            await link.command_async(-1)
        with pytest.raises(mcucom.NoAnswer):
            await link.command_async(6, SIX, timeout_ms=30)
        link.close()
        with pytest.raises(mcucom.LinkClosed):
            await waiting

    with mcucom.Link(served("--no-answer").path) as link:
        asyncio.run(asyncio.wait_for(on_a_silent_line(link), 30))


def test_the_asyncio_example_runs_its_loop(served):
    example = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "asyncio",
                           "mculoop.py")
    mcu = served("--unasked", "0x0019", "--unasked-ms", "20")
    run = subprocess.run([sys.executable, example, "--device", mcu.path, "--commands", "6"],
                         capture_output=True, text=True, timeout=120)
    summary = run.stdout.splitlines()[-1]
    assert run.returncode == 0, run.stderr
    assert summary.startswith("mculoop: 6 commands, 6 answered, 0 failed; events: ")
    assert " 0 unasked" not in summary


def test_the_links_lines_go_to_its_handler(line):
    lines = []
    with mcucom.Link(line(), first_serial=5, log=lambda level, text: lines.append((level, text))) as link:
        link.command(6, SIX)
    assert (mcucom.LogLevel.INFO, "Inf [WriteData():318] Add cmd(0006),serialNum(5),ret(1),"
            "waitlistsize(1),deallist(0),timeo(100)...") in lines
