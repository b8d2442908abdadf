# SPDX-License-Identifier: MIT
"""The board suite: the board's programs on its own kernel, UART driver and C library, with
the MCU on the line's far end. The cases run in this order on one boot; the first must be the
first command after the boot."""
import os
import re
import subprocess

import pytest
from conftest import Hung

HERE = os.path.dirname(os.path.abspath(__file__))
TALLY = os.path.join(HERE, "..", "..", "scripts", "soak-tally.awk")


def frame_bytes(text):
    return [int(pair, 16) for pair in text.split()]


# The power requests as the MCU must receive them, byte for byte: the ASCII line, then the
# frame of command 0006 with serial number 1.
POWER_ON = frame_bytes(
    "23 78 30 30 30 30 30 30 31 43 44 45 42 38 0d 0a "
    "75 aa 00 0c 01 41 00 06 00 ff 00 ff 00 00 00 1f 55 75 aa")
POWER_OFF = frame_bytes(
    "23 78 30 30 30 30 30 30 35 43 44 45 42 43 0d 0a "
    "75 aa 00 0c 01 41 00 06 00 ff 00 ff 00 00 00 5f 15 75 aa")
# mcusend's request of command 0006 without a payload: a frame of 11 bytes.
EMPTY_REQUEST_LENGTH = 11
# Waits until the program started last holds the line: its lock shows in /proc/locks.
UNTIL_IT_HOLDS_THE_LINE = (
    "until awk -v p=$! '$5 == p { f = 1 } END { exit !f }' /proc/locks; do sleep 0.1; done;")
ACKNOWLEDGED = re.compile(r"^mcusend: acknowledged: command 0006, serial \d+, result 0x00$", re.M)


def timed(command):
    """A board command that prints, last, how long COMMAND took in seconds, measured on the
    kernel's uptime, which setting the clock does not move; its status is COMMAND's."""
    return ("a=$(cut -d' ' -f1 /proc/uptime); %s; s=$?; b=$(cut -d' ' -f1 /proc/uptime);"
            " echo took $a $b; (exit $s)" % command)


def seconds_taken(out):
    start, end = re.search(r"^took ([\d.]+) ([\d.]+)$", out, re.M).groups()
    return float(end) - float(start)


@pytest.fixture
def clock_put_back(board):
    """Sets the board's clock back to the time it would have had, after a case that sets it."""
    status, out = board.run("date +%s; cut -d' ' -f1 /proc/uptime")
    assert status == 0, out
    seconds, up = out.split()
    yield
    board.run("date -s @$(( %s + $(cut -d. -f1 /proc/uptime) - %d )) >/dev/null"
              % (seconds, int(float(up))))


def test_mcusend_is_acknowledged_without_waiting_for_the_random_pool(board, mcu):
    # The kernel says "crng init done" once its random pool is ready.
    status, out = board.run(
        'dmesg | grep -q "crng init done" && echo "pool ready first"; mcusend -t 1000 6; s=$?;'
        ' dmesg | grep -q "crng init done" && echo "pool ready after"; exit $s')
    assert status == 0, out
    assert ACKNOWLEDGED.search(out), out
    waited = "pool ready after" in out and "pool ready first" not in out
    assert not waited, "mcusend waited for the kernel's random pool:\n" + out


def test_hddpower_on_and_off_print_and_send_their_requests_and_leave_the_line_set(board, mcu):
    outputs = {}
    for word in ("on", "off"):
        status, outputs[word] = board.run("hddpower %s 2>/tmp/err; s=$?; cat /tmp/err; exit $s" % word)
        assert status == 0, outputs[word]
    for word, out in outputs.items():
        assert out.startswith("Open COM  /dev/ttyAMA2 OK! \n## hdd power %s \n## ackBit is 0x1 \n"
                              "Inf [WriteData():318] Add cmd(0006)" % word), out
    status, settings = board.run("stty -F /dev/ttyAMA2 -a")
    assert status == 0, settings
    for setting in ("speed 115200 baud", "min = 1; time = 0", "-parenb", "cs8", "-cstopb",
                    "inpck", "-opost", "-isig", "-icanon", "-echo "):
        assert setting in settings, "the line is not left with %r:\n%s" % (setting, settings)
    assert mcu.board_bytes() == POWER_ON + POWER_OFF


def test_mcusend_refuses_a_line_another_program_holds(board, mcu):
    status, out = board.run(
        "mcusend --count 1000000 -t 1000 6 >/dev/null 2>&1 & holder=$!; "
        + UNTIL_IT_HOLDS_THE_LINE + " mcusend -t 1000 6; s=$?; kill $holder; wait $holder; exit $s")
    assert status == 3, out
    assert "mcusend: /dev/ttyAMA2 is held by another program" in out, out


def test_both_tools_end_on_a_line_without_clocal(board, mcu):
    status, out = board.run(
        "stty -F /dev/ttyAMA2 -clocal; timeout 10 hddpower on >/dev/null 2>&1; echo hddpower $?;"
        " timeout 10 mcusend -t 1000 6; echo mcusend $?; stty -F /dev/ttyAMA2 clocal")
    assert status == 0, out
    assert re.search(r"^hddpower 0$", out, re.M), out
    assert re.search(r"^mcusend 0$", out, re.M), out
    sent = mcu.board_bytes()
    assert sent[:len(POWER_ON)] == POWER_ON
    assert len(sent) == len(POWER_ON) + EMPTY_REQUEST_LENGTH


def test_a_session_leader_does_not_take_the_line_as_its_terminal(board, mcu):
    status, out = board.run(
        "setsid mcusend --count 100000 -t 1000 6 >/dev/null 2>&1 & "
        + UNTIL_IT_HOLDS_THE_LINE + " echo terminal $(cut -d' ' -f7 /proc/$!/stat); kill $!; wait")
    assert status == 0, out
    assert re.search(r"^terminal 0$", out, re.M), out


@pytest.mark.mcu("--delay 50", needed=False)
def test_answers_are_taken_while_the_clock_is_stepped_forward(board, mcu, clock_put_back):
    status, out = board.run(
        "(while :; do date -s @$(( $(date +%s) + 3600 )) >/dev/null; done) & stepper=$!;"
        " mcusend --count 20 -t 2000 6 >/dev/null; s=$?; kill $stepper; wait; exit $s")
    assert status == 0, "answers were lost while the clock was set forward:\n" + out


@pytest.mark.mcu("--no-answer")
@pytest.mark.parametrize("shift", [-3600, 3600])
def test_a_wait_lasts_its_time_while_the_clock_is_set(board, mcu, clock_put_back, shift):
    status, out = board.run(timed("(sleep 0.5; date -s @$(( $(date +%%s) + %d )) >/dev/null) &"
                                  " timeout 60 mcusend -t 2000 6 >/dev/null 2>&1; s=$?; wait; (exit $s)"
                                  % shift))
    assert status == 1, out
    took = seconds_taken(out)
    assert 1.95 <= took < 50, "a 2 s wait with the clock set by %d s took %.2f s" % (shift, took)


@pytest.mark.mcu("--no-answer")
def test_hddpower_waits_its_time_while_the_clock_is_set_forward(board, mcu, clock_put_back):
    status, out = board.run(
        "(while :; do date -s @$(( $(date +%s) + 3600 )) >/dev/null; done) & stepper=$!; "
        + timed("hddpower on >/dev/null 2>&1") + "; kill $stepper; wait")
    assert status == 0, out
    assert seconds_taken(out) >= 0.1, "hddpower on did not wait its 100 ms:\n" + out


# On the emulated board an answer is now and then not taken although mcusim received every
# request whole: one time-out in a soak of 1000, twice in about twenty soaks; in the second,
# without the MCU's unasked frames, the board's UART driver had received every byte mcusim
# sent and sent every byte of the requests. The same faults on a pseudo-terminal lose none (scripts/soak.sh). Until its
# cause is found, this many such time-outs in a soak pass, and are printed; a wrong answer
# never does.
UNEXPLAINED_TIMEOUTS_LET_THROUGH = 2


@pytest.mark.mcu("--result seq --noise 32 --false-heads --split --duplicate 0.3"
                 " --unasked 0x0019 --unasked-ms 20")
def test_a_soak_under_faults_gets_every_answer_its_own(board, mcu):
    status, out = board.run("mcusend --count 1000 --verbose -t 5000 6 00ff00ff0000001f 2>/dev/null",
                            timeout=600)
    mcu.stop()
    tally = subprocess.run(["awk", "-f", TALLY], input=out + "\n" + mcu.report(),
                           stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout
    sent, _, timed_out, wrong, _, lost = (int(n) for n in tally.split())
    # A request that never reached mcusim whole (the emulated board, stalled on a busy machine,
    # sent its two halves 50 ms or more apart, and mcusim gave up its head as noise) cannot be
    # answered; the tally counts answers right accordingly. Each answer is waited for 5 s: an
    # emulated board on a busy machine may stall for a second.
    unexplained = max(timed_out - lost, 0)
    print("soak: %d sent, %d wrong, %d timed out, %d of them unexplained" % (
        sent, wrong, timed_out, unexplained))
    assert (sent, wrong) == (1000, 0), tally
    assert unexplained <= UNEXPLAINED_TIMEOUTS_LET_THROUGH, tally


@pytest.mark.mcu("--result seq --noise 32 --false-heads --split --duplicate 0.3"
                 " --unasked 0x0019 --unasked-ms 20")
def test_the_example_daemon_takes_answers_and_the_mcus_frames(board, mcu):
    status, out = board.run("mcudaemon --commands 20 2>/dev/null | tail -1", timeout=120)
    assert status == 0, out
    assert re.fullmatch(r"mcudaemon: 20 commands, \d+ answered, .* events: [1-9]\d* unasked,"
                        r" \d+ late answers, \d+ copies, 0 dropped", out), out


def test_the_modules_tests_pass_on_the_board(board):
    if board.run("command -v module_test")[0] != 0:
        pytest.skip("module_test is not on the board's PATH")
    status, out = board.run("module_test --gtest_brief=1", timeout=900)
    assert status == 0, out[-4000:]


@pytest.mark.parametrize("command, ending", [("sleep 600", "ended by Ctrl-C"),
                                             ("trap '' INT; sleep 600", "power-cycled")],
                         ids=["plain", "ignoring Ctrl-C"])
def test_a_hung_command_is_ended_and_the_next_case_runs(board, command, ending):
    if ending == "power-cycled" and not board.can_power_cycle():
        pytest.skip("needs a power switch labgrid drives; this board's is switched by hand")
    with pytest.raises(Hung, match=ending):
        board.run(command, timeout=3)
    assert board.run("echo after") == (0, "after")
