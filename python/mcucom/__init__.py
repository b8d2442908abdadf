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

On asyncio, a command is awaited and the events are an async iterator, both over the same
descriptor, with no thread of the program's own waiting on the line:

    async def main():
        with mcucom.Link() as link:
            answer = await link.command_async(0x0006, payload, timeout_ms=100)
            async for event in link.events_async():
                print(event.kind.name, hex(event.code))
"""
import asyncio
import collections
import ctypes
import enum
import errno as _errno
import itertools
import operator
import threading
from dataclasses import dataclass
from typing import (AsyncIterator, Callable, Deque, Dict, Iterator, List, Optional, Tuple,
                    Union)

from . import _native

__all__ = [
    "Link", "Answer", "Written", "Event", "EventKind", "LogLevel", "McuError", "NoAnswer",
    "AlreadyWaiting", "NotInTable", "PayloadTooLong", "LineLost", "LinkClosed", "LineHeld",
    "WriteFailed", "build_frame", "find_frames", "command_flag", "command_table",
    "expects_answer", "defaults",
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


def _outcome(native: _native.Event) -> Union[Answer, Written, McuError]:
    """What a completion says: the command's Answer (or Written), or the error it failed
    with."""
    if native.status < 0:
        return _error(native.status, "command %04x" % native.code)
    if not expects_answer(native.code):
        return Written(native.serial, native.round_trip_us)
    return Answer(native.serial, native.result, bytes(native.payload[:native.payload_len]),
                  native.round_trip_us)


def _settle(future: "asyncio.Future", outcome) -> None:
    if future.done():  # the awaiting task was cancelled; the command completed all the same
        return
    if isinstance(outcome, BaseException):
        future.set_exception(outcome)
    else:
        future.set_result(outcome)


class _Loop:
    """What a Link keeps for asyncio: the event loop it was first used on, whose reader takes
    the link's events; the commands awaited, by tag; the events for the async iterator (up to
    the link's queue depth, the oldest going first, counted in Link.events_dropped)."""

    def __init__(self, loop: asyncio.AbstractEventLoop, fd: int, depth: int) -> None:
        self.loop = loop
        self.fd = fd
        self.pending: Dict[int, asyncio.Future] = {}
        self.events: Deque[Event] = collections.deque()
        self.depth = depth
        self.dropped = 0
        self.arrived: Optional[asyncio.Future] = None

    def keep(self, event: Event) -> None:
        if len(self.events) == self.depth:
            self.events.popleft()
            self.dropped += 1
        self.events.append(event)
        self.wake()

    def wake(self) -> None:
        if self.arrived is not None and not self.arrived.done():
            self.arrived.set_result(None)


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
        self._async: Optional[_Loop] = None
        self._tags = itertools.count(1)
        options = _default_options()
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
        self._depth = options.event_queue_depth
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
        self._end_async()
        _lib.mcucom_close(handle)

    def _end_async(self) -> None:
        """The loop stops watching the descriptor before it goes; commands still awaited raise
        LinkClosed, and the async iterator ends."""
        state, self._async = self._async, None
        if state is None:
            return

        def end() -> None:
            state.loop.remove_reader(state.fd)
            for future in state.pending.values():
                _settle(future, LinkClosed(_errno.ESHUTDOWN, "the link is closed"))
            state.wake()

        if state.loop.is_closed():
            return
        try:
            running = asyncio.get_running_loop()
        except RuntimeError:
            running = None
        if running is state.loop:
            end()
        else:
            state.loop.call_soon_threadsafe(end)

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
        return self._take(max_events, timeout_ms, _interruptible)

    def _take(self, max_events: int, timeout_ms: int,
              run: Callable[[Callable[[], int]], int]) -> List[Event]:
        """Reads events; the completions among them go to the commands awaiting them, and the
        rest are returned."""
        natives = (_native.Event * max_events)()
        handle = self._enter()
        try:
            got = run(lambda: _lib.mcucom_read_events(handle, natives, max_events, timeout_ms))
        finally:
            self._leave()
        events = []
        for native in natives[:_check(got)]:
            if native.kind == _native.EVENT_COMPLETION:
                self._complete(native)
            else:
                events.append(_event(native))
        return events

    def _complete(self, native: _native.Event) -> None:
        state = self._async
        future = state.pending.pop(native.tag, None) if state is not None else None
        if future is not None:
            state.loop.call_soon_threadsafe(_settle, future, _outcome(native))

    def _watch(self) -> _Loop:
        """The running loop's state: the loop watches the descriptor from the first
        asynchronous call on."""
        loop = asyncio.get_running_loop()
        state = self._async
        if state is not None and state.loop.is_closed():
            # A loop that has ended (asyncio.run returned) leaves its events to the next.
            self._async = _Loop(loop, state.fd, self._depth)
            self._async.events = state.events
            state = None
        if state is None:
            state = self._async or _Loop(loop, self.fileno(), self._depth)
            self._async = state
            loop.add_reader(state.fd, self._on_readable, state)
        elif state.loop is not loop:
            raise RuntimeError("a link's asynchronous calls belong to one running event loop "
                               "at a time")
        return state

    def _on_readable(self, state: _Loop) -> None:
        try:
            events = self._take(64, 0, lambda call: call())
        except LinkClosed:
            return
        for event in events:
            state.keep(event)

    async def command_async(self, code: int, payload: bytes = b"",
                            timeout_ms: int = 0) -> Union[Answer, Written]:
        """command(), awaited on asyncio: sent at once, its answer taken by the loop from the
        link's descriptor. Raises as command() does; cancelling the awaiting task does not
        stop the command, whose answer is then dropped."""
        code = _integer("code", code, 0, _UINT32)
        timeout_ms = _integer("timeout_ms", timeout_ms, 0, _UINT32)
        payload = bytes(payload)
        state = self._watch()
        tag = next(self._tags)
        future = state.loop.create_future()
        state.pending[tag] = future
        handle = self._enter()
        try:
            started = _lib.mcucom_command_start(handle, code, payload, len(payload), timeout_ms,
                                                tag)
        finally:
            self._leave()
        if started < 0:
            del state.pending[tag]
            raise _error(started, "command %04x" % code)
        return await future

    async def events_async(self) -> AsyncIterator[Event]:
        """The events as they come, on asyncio; ends when the link closes. Events not yet
        taken are kept up to the link's queue depth."""
        state = self._watch()
        while True:
            while state.events:
                yield state.events.popleft()
            if self._async is not state:
                return
            state.arrived = state.loop.create_future()
            await state.arrived

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
        """How many events the full queue has dropped (and, on asyncio, those the async
        iterator had not taken when its own queue was full)."""
        handle = self._enter()
        try:
            dropped = int(_lib.mcucom_events_dropped(handle))
        finally:
            self._leave()
        return dropped + (self._async.dropped if self._async is not None else 0)


def _default_options() -> _native.Options:
    options = _native.Options()
    _lib.mcucom_options_init(ctypes.byref(options))
    return options


def defaults() -> Dict[str, object]:
    """The library's defaults for a link, as a Link takes them: the board's MCU line
    ("device"), its rate ("baud_rate"), the receiver's read time-out ("read_timeout_ms") and
    the event queue's depth ("event_queue_depth")."""
    options = _default_options()
    return {"device": options.device.decode(), "baud_rate": options.baud_rate,
            "read_timeout_ms": options.read_timeout_ms,
            "event_queue_depth": options.event_queue_depth}


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
