# SPDX-License-Identifier: MIT
"""The recorder board's MCU link, from Python.

A thin layer over the C library (libmcucom.so.1): every rule of the link (frames, checksums,
serial numbers, which answer belongs to which command, the events) is the library's own.

    import mcucom

    with mcucom.Link("/dev/ttyUSB0") as link:
        answer = link.command(0x0006, bytes.fromhex("00ff00ff0000001f"), timeout_ms=100)
        print(answer.serial, answer.result, answer.round_trip_us)
        for event in link.read_events(timeout_ms=500):
            print(event.kind.name, hex(event.code), event.payload.hex())

A failed command raises an McuError of the kind that says why (NoAnswer, AlreadyWaiting,
NotInTable, PayloadTooLong, LineLost, LinkClosed, ...); each is an OSError with the errno the
library gave. The link's events are also an iterator (``for event in link``), and
``link.fileno()`` is a descriptor that selectors and asyncio (``loop.add_reader``) wait on.
The frame rules are there for scripts too: build_frame() lays out a frame, find_frames()
finds the valid frames in bytes, command_flag() reads the command table.
"""
import ctypes
import enum
import errno as _errno
import operator
import threading
from dataclasses import dataclass
from typing import Callable, Iterator, List, Optional, Tuple, Union

from . import _native

__all__ = [
    "Link", "Answer", "Written", "Event", "EventKind", "LogLevel", "McuError", "NoAnswer",
    "AlreadyWaiting", "NotInTable", "PayloadTooLong", "LineLost", "LinkClosed", "LineHeld",
    "WriteFailed", "build_frame", "find_frames", "command_flag", "command_table",
    "expects_answer",
    "version", "PAYLOAD_MAX", "DEFAULT_TIMEOUT_MS",
]

PAYLOAD_MAX = _native.PAYLOAD_MAX
DEFAULT_TIMEOUT_MS = _native.DEFAULT_TIMEOUT_MS
_lib = _native.lib

_UINT8, _UINT16, _UINT32 = 0xFF, 0xFFFF, 0xFFFFFFFF
_INT32_MAX = 0x7FFFFFFF


def _integer(name: str, value, low: int, high: int) -> int:
    """value as an int within [low, high]; a TypeError or ValueError naming the argument
    otherwise, before ctypes would cut it down to its C type's width."""
    try:
        value = operator.index(value)
    except TypeError:
        raise TypeError("%s must be an integer, not %s" % (name, type(value).__name__)) from None
    if not low <= value <= high:
        raise ValueError("%s must be from %d to %d, not %d" % (name, low, high, value))
    return value


def _interruptible(call: Callable[[], int]) -> int:
    """Runs a blocking C call; on the main thread, on a helper thread instead, so that Ctrl-C
    (KeyboardInterrupt) comes at once rather than when the call's wait ends. An interrupted
    call goes on to its end in the background, and its result is dropped."""
    if threading.current_thread() is not threading.main_thread():
        return call()
    outcome: List[int] = []
    helper = threading.Thread(target=lambda: outcome.append(call()), daemon=True)
    helper.start()
    helper.join()
    return outcome[0]


class McuError(OSError):
    """A call of the link failed; errno says why, strerror in the library's words."""


class NoAnswer(McuError, TimeoutError):
    """No answer came within the command's time-out (ETIMEDOUT)."""


class AlreadyWaiting(McuError):
    """A command of this code is already waiting for its answer (EALREADY)."""


class NotInTable(McuError):
    """The command code is not in the MCU's command table (ENOMSG)."""


class PayloadTooLong(McuError):
    """The payload is longer than the MCU takes, 1024 bytes (EMSGSIZE)."""


class LineLost(McuError):
    """The line is gone: hung up, or its device removed (ENOLINK)."""


class LinkClosed(McuError):
    """The link is closed, or closing (ESHUTDOWN)."""


class LineHeld(McuError):
    """Another program, or another Link of this one, holds the line (EBUSY)."""


class WriteFailed(McuError):
    """The command could not be written to the line (EIO)."""


_ERRORS = {
    _errno.ETIMEDOUT: NoAnswer,
    _errno.EALREADY: AlreadyWaiting,
    _errno.ENOMSG: NotInTable,
    _errno.EMSGSIZE: PayloadTooLong,
    _errno.ENOLINK: LineLost,
    _errno.ESHUTDOWN: LinkClosed,
    _errno.EBUSY: LineHeld,
    _errno.EIO: WriteFailed,
}


def _error(result: int, what: str = "") -> McuError:
    code = -result
    text = _lib.mcucom_strerror(result).decode()
    return _ERRORS.get(code, McuError)(code, text + (": " + what if what else ""))


def _check(result: int, what: str = "") -> int:
    if result < 0:
        raise _error(result, what)
    return result


class LogLevel(enum.IntEnum):
    """The levels of the link's lines: syslog's numbers."""
    ERROR = 3
    WARNING = 4
    INFO = 6
    DEBUG = 7


class EventKind(enum.IntEnum):
    """What an event is."""
    UNASKED = 1       #: a frame the MCU sent of its own accord
    LATE_ANSWER = 2   #: the answer to a command that had given up waiting
    COPY = 3          #: a copy of an answer already taken
    LINE_LOST = 4     #: the line is gone; every later command raises LineLost


@dataclass(frozen=True)
class Answer:
    """A command's answer."""
    serial: int          #: the serial number the command was sent with
    result: int          #: the MCU's result, the answer's payload byte 1 (0 without one)
    payload: bytes       #: the answer's payload; byte 0 is the acknowledged serial number
    round_trip_us: int   #: from the write to the answer, in microseconds


@dataclass(frozen=True)
class Written:
    """A command of a code that expects no answer, written: it has no result and no payload,
    so it cannot be taken for an acknowledgement."""
    serial: int          #: the serial number the command was sent with
    round_trip_us: int   #: how long the write took, in microseconds


@dataclass(frozen=True)
class Event:
    """A frame nobody waited for, or the line's loss."""
    kind: EventKind
    code: int            #: the frame's command code
    serial: int          #: the frame's own serial number
    flag: int            #: the frame's flag byte
    payload: bytes
    timestamp_us: int    #: CLOCK_MONOTONIC, when the frame's last bytes were read
    seqno: int           #: 1, 2, ...: a gap is events the full queue dropped
    error: int           #: LINE_LOST: the errno that told of it


def _event(native: _native.Event) -> Event:
    return Event(EventKind(native.kind), native.code, native.serial, native.flag,
                 bytes(native.payload[:native.payload_len]), native.timestamp_us,
                 native.seqno, native.error)


class Link:
    """One MCU line, opened on construction and closed by close() or the end of a with block.

    The line is taken for this program as serial tools take one (an advisory lock, then
    exclusive mode) unless share is true, and gets its settings back when the link closes.
    log, when given, is called with (level, line) for each line the link would print, from
    the calling thread or the link's receiver. Calls may come from several threads at once; a
    close ends the calls in progress, which raise LinkClosed.
    """

    def __init__(self, device: Optional[str] = None, *, baud_rate: Optional[int] = None,
                 read_timeout_ms: Optional[int] = None,
                 event_queue_depth: Optional[int] = None, share: bool = False,
                 first_serial: int = 0,
                 log: Optional[Callable[[LogLevel, str], None]] = None) -> None:
        """None takes the library's default: the board's MCU line at its rate, the
        receiver's 20 ms read time-out, a queue of 256 events."""
        self._lock = threading.Condition()
        self._active = 0
        self._handle: Optional[int] = None
        options = _native.Options()
        _lib.mcucom_options_init(ctypes.byref(options))
        self.device = device if device is not None else options.device.decode()
        self._device = self.device.encode()
        options.device = self._device
        for name, value in (("baud_rate", baud_rate), ("read_timeout_ms", read_timeout_ms),
                            ("event_queue_depth", event_queue_depth)):
            if value is not None:
                setattr(options, name, _integer(name, value, 0, _UINT32))
        options.share = 1 if share else 0
        options.first_serial = _integer("first_serial", first_serial, 0, _UINT8)
        self._log = None
        if log is not None:
            self._log = _native.LOG_FN(
                lambda _context, level, line: log(LogLevel(level), line.decode(errors="replace")))
            options.log = ctypes.cast(self._log, ctypes.c_void_p)
        handle = ctypes.c_void_p()
        _check(_lib.mcucom_open(ctypes.byref(options), ctypes.byref(handle)), self.device)
        self._handle = handle.value

    def _enter(self) -> int:
        with self._lock:
            if self._handle is None:
                raise LinkClosed(_errno.ESHUTDOWN, "the link is closed")
            self._active += 1
            return self._handle

    def _leave(self) -> None:
        with self._lock:
            self._active -= 1
            self._lock.notify_all()

    def close(self) -> None:
        """Ends the calls in progress (they raise LinkClosed), and gives the line back."""
        with self._lock:
            handle, self._handle = self._handle, None
        if handle is None:
            return
        _lib.mcucom_shutdown(handle)
        with self._lock:
            while self._active > 0:
                self._lock.wait()
        _lib.mcucom_close(handle)

    @property
    def closed(self) -> bool:
        return self._handle is None

    def __enter__(self) -> "Link":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_handle", None) is not None:
            self.close()

    def command(self, code: int, payload: bytes = b"",
                timeout_ms: int = 0) -> Union[Answer, Written]:
        """Sends a command of the table and returns its Answer.

        A code whose flag asks for no answer returns once written, with a Written, which has
        neither result nor payload. timeout_ms 0 is the module's default, DEFAULT_TIMEOUT_MS;
        the wait runs on the monotonic clock.
        """
        code = _integer("code", code, 0, _UINT32)
        timeout_ms = _integer("timeout_ms", timeout_ms, 0, _UINT32)
        payload = bytes(payload)
        answer = _native.Answer()
        handle = self._enter()
        try:
            result = _interruptible(lambda: _lib.mcucom_command(
                handle, code, payload, len(payload), timeout_ms, ctypes.byref(answer)))
        finally:
            self._leave()
        _check(result, "command %04x" % code)
        if not expects_answer(code):
            return Written(answer.serial, answer.round_trip_us)
        return Answer(answer.serial, answer.result, bytes(answer.payload[:answer.payload_len]),
                      answer.round_trip_us)

    def read_events(self, max_events: int = 64, timeout_ms: int = 0) -> List[Event]:
        """Takes up to max_events events, waiting up to timeout_ms for the first (-1: as
        long as it takes; 0: not at all)."""
        max_events = _integer("max_events", max_events, 1, 1 << 16)
        timeout_ms = _integer("timeout_ms", timeout_ms, -1, _INT32_MAX)
        natives = (_native.Event * max_events)()
        handle = self._enter()
        try:
            got = _interruptible(
                lambda: _lib.mcucom_read_events(handle, natives, max_events, timeout_ms))
        finally:
            self._leave()
        return [_event(natives[i]) for i in range(_check(got))]

    def events(self, timeout_ms: int = -1) -> Iterator[Event]:
        """The events as they come, one at a time; ends when none comes within timeout_ms
        (never, for -1) or the link closes."""
        while True:
            try:
                batch = self.read_events(16, timeout_ms)
            except LinkClosed:
                return
            if not batch:
                return
            yield from batch

    def __iter__(self) -> Iterator[Event]:
        return self.events()

    def fileno(self) -> int:
        """A descriptor that is readable while events are queued (for selectors, asyncio)."""
        handle = self._enter()
        try:
            return _check(_lib.mcucom_event_fd(handle))
        finally:
            self._leave()

    @property
    def events_dropped(self) -> int:
        """How many events the full queue has dropped."""
        handle = self._enter()
        try:
            return int(_lib.mcucom_events_dropped(handle))
        finally:
            self._leave()


def command_flag(code: int) -> int:
    """The flag byte of a code in the command table; 0 when the code is not there."""
    return _lib.mcucom_command_flag(_integer("code", code, 0, _UINT32))


def command_table() -> List[Tuple[int, int]]:
    """The MCU's command table, in its order: (code, flag byte) for each command; a flag with
    bit 6 (0x40) set expects an answer."""
    table = []
    code, flag = ctypes.c_uint32(), ctypes.c_uint8()
    while _lib.mcucom_command_entry(len(table), ctypes.byref(code), ctypes.byref(flag)) == 1:
        table.append((code.value, flag.value))
    return table


def expects_answer(code: int) -> bool:
    """Whether commands of this code wait for an acknowledgement (the flag's ackBit)."""
    return bool(command_flag(code) & 0x40)


def build_frame(serial: int, flag: int, code: int, payload: bytes = b"") -> bytes:
    """A whole frame as the wire carries it: head, len, serial, flag, code, payload,
    checksum and tail."""
    serial = _integer("serial", serial, 0, _UINT8)
    flag = _integer("flag", flag, 0, _UINT8)
    code = _integer("code", code, 0, _UINT16)
    payload = bytes(payload)
    out = ctypes.create_string_buffer(len(payload) + 11)
    size = _check(_lib.mcucom_frame_build(serial, flag, code, payload, len(payload), out,
                                          len(out)))
    return out.raw[:size]


def find_frames(data: bytes, final: bool = True) -> Tuple[List[Tuple[int, bytes]], int]:
    """The valid frames in data, by the receiver's rules, as (offset, frame) pairs, and how
    many bytes were used up. With final false, a frame that has not come whole stops the
    search (its head's offset is returned, to be searched again with more bytes); with final
    true it counts as noise, as on a line that has gone quiet."""
    data = bytes(data)
    frames: List[Tuple[int, bytes]] = []
    position = 0
    offset, length = ctypes.c_size_t(), ctypes.c_size_t()
    while position < len(data):
        rest = data[position:]
        found = _lib.mcucom_frame_find(rest, len(rest), 1 if final else 0,
                                       ctypes.byref(offset), ctypes.byref(length))
        if found <= 0:
            return frames, position + offset.value
        start = position + offset.value
        frames.append((start, data[start:start + length.value]))
        position = start + length.value
    return frames, position


def version() -> str:
    """The C library's version."""
    return _lib.mcucom_version().decode()
