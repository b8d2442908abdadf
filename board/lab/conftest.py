# SPDX-License-Identifier: MIT
"""Fixtures of the board suite, on labgrid.

`board`: the target booted once for the whole suite (labgrid's ShellStrategy: the emulated
board is powered by qemu, a real one by hand or by a power switch), at its shell; each case's
commands run there and their status and output come back.

`mcu`: the MCU side of the board's line for one case. On the emulated board, a new mcusim
serves the line for each case (`@pytest.mark.mcu("OPTIONS")` gives its options), recording
the traffic; on a real board, the real MCU answers, and the bytes the board sends are read
from a tap of the line when the environment file names one (option `mcu_tap`).
"""
import os
import shlex
import shutil
import signal
import subprocess
import tempfile
import threading
import time

import mcucom
import pytest
from labgrid.driver import ManualPowerDriver
from pexpect import TIMEOUT

LINE_RATE = mcucom.defaults()["baud_rate"]  # the MCU line's rate, as the module sets it


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "mcu(options, needed=True): mcusim's options for the case; with needed=False"
        " the case also runs against a real board's MCU")


def environment_option(env, name):
    """An option of the environment file's `options:`, None when it has none."""
    return (env.config.data.get("options") or {}).get(name)


class Hung(AssertionError):
    """A command on the board did not end within its time and was ended."""


class Board:
    """The board's shell: runs a command, returns its status and its output's lines."""

    def __init__(self, strategy, target):
        self.strategy = strategy
        self.target = target
        self.shell = target.get_driver("ShellDriver")

    def run(self, command, timeout=60):
        try:
            lines, _, status = self.shell.run(command, timeout=timeout)
        except TIMEOUT as hung:
            how = "ended by Ctrl-C" if self.interrupt() else self.power_cycle()
            raise Hung(f"{command!r} did not end within {timeout} s: {how}") from hung
        return status, "\n".join(lines)

    def interrupt(self):
        """Ends what the shell runs with Ctrl-C; whether the shell answers again."""
        console = self.shell.console
        console.write(b"\x03")
        mark = "answers-%d" % time.monotonic_ns()
        console.sendline("echo '%s'" % mark.replace("-", "'-'"))
        try:
            console.expect(mark + r"\s+" + self.shell.prompt, timeout=5)
            return True
        except TIMEOUT:
            return False

    def can_power_cycle(self):
        """Whether labgrid switches the power itself (not by asking someone to)."""
        return not any(isinstance(driver, ManualPowerDriver) for driver in self.target.drivers)

    def power_cycle(self):
        """Boots the board again, for a shell a hung command keeps busy even after Ctrl-C:
        one case's hung command must not become the next case's failure."""
        self.strategy.transition("off")
        self.strategy.transition("shell")
        self.shell = self.target.get_driver("ShellDriver")
        return "Ctrl-C did not end it; the board was power-cycled"


@pytest.fixture(scope="session")
def board(strategy, target):
    strategy.transition("shell")
    return Board(strategy, target)


def mcusim_program(env):
    program = env.config.get_tool("mcusim") or shutil.which("mcusim")
    if not program:
        pytest.exit("mcusim is neither in the environment's tools nor on the PATH")
    return program


def line_bytes_of_dump(vcd):
    """The bytes the board sent on the line, from a dump of its traffic, decoded by
    sigrok-cli's UART decoder: a list of ints."""
    raw = subprocess.run(
        ["sigrok-cli", "-i", vcd, "-P", "uart:baudrate=%d:rx=host_tx" % LINE_RATE, "-B", "uart=rx"],
        check=True, stdout=subprocess.PIPE).stdout
    return list(raw)


class SimulatedMcu:
    """mcusim serving the board's line for one case, on the socket qemu connects to."""

    def __init__(self, program, socket_path, options, work):
        self.socket_path = socket_path
        self.vcd = os.path.join(work, "line.vcd")
        self.report_path = os.path.join(work, "mcusim.log")
        command = [program] + shlex.split(options) + ["--vcd", self.vcd, "--serve", "unix:" + socket_path]
        self.report_file = open(self.report_path, "w+")
        self.process = subprocess.Popen(command, stdout=self.report_file, stderr=subprocess.STDOUT)
        self.stopped = False

    def wait_for_the_board(self, seconds=60):
        """Waits until the board's UART is connected: mcusim says so for each peer."""
        announcement = "mcusim: a peer connected at " + self.socket_path
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            with open(self.report_path) as report:
                if announcement in report.read():
                    return
            if self.process.poll() is not None:
                pytest.fail("mcusim ended before the board connected:\n" + self.report())
            time.sleep(0.05)
        pytest.fail("the board's UART did not connect to mcusim within %d s" % seconds)

    def stop(self):
        if not self.stopped:
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(timeout=30)
            self.report_file.close()
            self.stopped = True

    def report(self):
        with open(self.report_path) as report:
            return report.read()

    def board_bytes(self):
        self.stop()
        return line_bytes_of_dump(self.vcd)


class TappedMcu:
    """A real board's MCU: the bytes the board sends are read from a tap of the line."""

    def __init__(self, program, tap):
        import serial  # pyserial, which labgrid's serial ports use too

        self.program = program
        self.port = serial.Serial(tap, LINE_RATE, timeout=0.05)
        self.port.reset_input_buffer()
        self.received = bytearray()
        self.stopping = threading.Event()
        self.reader = threading.Thread(target=self.read_until_stopped, daemon=True)
        self.reader.start()

    def read_until_stopped(self):
        while not self.stopping.is_set():
            self.received += self.port.read(4096)

    def stop(self):
        if not self.stopping.is_set():
            time.sleep(0.1)  # the last bytes on their way through the adapter
            self.stopping.set()
            self.reader.join()
            self.port.close()

    def report(self):
        """The tapped bytes as mcusim decodes them."""
        self.stop()
        return subprocess.run([self.program, "--decode", "-"], input=bytes(self.received),
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT).stdout.decode()

    def board_bytes(self):
        self.stop()
        return list(self.received)


class RealMcu:
    """A real board's MCU with no tap: nothing on the host sees the line."""

    def stop(self):
        pass

    def report(self):
        return ""

    def board_bytes(self):
        pytest.skip("needs a tap of the MCU line (option mcu_tap in the environment file)")


@pytest.fixture
def mcu(request, env, board):
    socket_path = environment_option(env, "mcu_socket")
    marker = request.node.get_closest_marker("mcu")
    options = marker.args[0] if marker else ""
    with tempfile.TemporaryDirectory() as work:
        if socket_path:
            side = SimulatedMcu(mcusim_program(env), socket_path, options, work)
            try:
                side.wait_for_the_board()
            except BaseException:  # a failure or Ctrl-C: no simulator left serving
                side.stop()
                raise
        elif marker and marker.kwargs.get("needed", True):
            pytest.skip("needs the simulated MCU (mcusim %s); a real board's MCU answers as it does"
                        % options)
        elif environment_option(env, "mcu_tap"):
            side = TappedMcu(mcusim_program(env), environment_option(env, "mcu_tap"))
        else:
            side = RealMcu()
        yield side
        side.stop()
        # The MCU side's view of the case, shown with a failure.
        print(side.report())
