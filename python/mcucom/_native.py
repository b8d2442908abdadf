# SPDX-License-Identifier: MIT
"""The C library, libmcucom.so.1, and its calls as ctypes sees them.

The library is looked for where MCUCOM_LIBRARY names it; otherwise where an install put it
beside this package (PREFIX/lib, for the package in PREFIX/lib/python3/dist-packages), then by
the dynamic linker's own search (LD_LIBRARY_PATH, the system's library folders), as the C
programs of the board find it.
"""
import ctypes
import os

PAYLOAD_MAX = 1024          # MCUCOM_PAYLOAD_MAX
DEFAULT_TIMEOUT_MS = 100    # MCUCOM_DEFAULT_TIMEOUT_MS: what a command's time-out of 0 means
SONAME = "libmcucom.so.1"


class Options(ctypes.Structure):
    _fields_ = [
        ("device", ctypes.c_char_p),
        ("baud_rate", ctypes.c_uint),
        ("read_timeout_ms", ctypes.c_uint),
        ("event_queue_depth", ctypes.c_uint),
        ("share", ctypes.c_int),
        ("first_serial", ctypes.c_ubyte),
        ("log", ctypes.c_void_p),
        ("log_context", ctypes.c_void_p),
    ]


class Answer(ctypes.Structure):
    _fields_ = [
        ("serial", ctypes.c_uint8),
        ("result", ctypes.c_uint8),
        ("payload_len", ctypes.c_uint16),
        ("payload", ctypes.c_uint8 * PAYLOAD_MAX),
        ("round_trip_us", ctypes.c_uint64),
    ]


class Event(ctypes.Structure):
    _fields_ = [
        ("kind", ctypes.c_uint32),
        ("code", ctypes.c_uint16),
        ("serial", ctypes.c_uint8),
        ("flag", ctypes.c_uint8),
        ("payload_len", ctypes.c_uint16),
        ("payload", ctypes.c_uint8 * PAYLOAD_MAX),
        ("timestamp_us", ctypes.c_uint64),
        ("seqno", ctypes.c_uint64),
        ("error", ctypes.c_int),
        ("status", ctypes.c_int),
        ("tag", ctypes.c_uint64),
        ("round_trip_us", ctypes.c_uint64),
        ("result", ctypes.c_uint8),
    ]


EVENT_COMPLETION = 5        # MCUCOM_EVENT_COMPLETION


LOG_FN = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int, ctypes.c_char_p)


class LibraryNotFound(OSError):
    """libmcucom.so.1 was found nowhere it was looked for."""


def _candidates() -> list:
    named = os.environ.get("MCUCOM_LIBRARY")
    if named:
        return [named]
    here = os.path.dirname(os.path.abspath(__file__))
    beside = os.path.normpath(os.path.join(here, "..", "..", "..", SONAME))
    return [beside, SONAME] if os.path.exists(beside) else [SONAME]


def _open() -> ctypes.CDLL:
    tried = []
    for path in _candidates():
        try:
            return ctypes.CDLL(path, use_errno=True)
        except OSError as failure:
            tried.append("%s (%s)" % (path, failure))
    raise LibraryNotFound(
        "the mcucom library was not found; tried " + "; ".join(tried) +
        ". Name it in MCUCOM_LIBRARY, or install it where the dynamic linker looks "
        "(LD_LIBRARY_PATH, /usr/lib)")


def _load() -> ctypes.CDLL:
    lib = _open()
    link_p = ctypes.c_void_p
    signatures = {
        "mcucom_options_init": (None, [ctypes.POINTER(Options)]),
        "mcucom_open": (ctypes.c_int, [ctypes.POINTER(Options), ctypes.POINTER(link_p)]),
        "mcucom_close": (ctypes.c_int, [link_p]),
        "mcucom_shutdown": (ctypes.c_int, [link_p]),
        "mcucom_command": (ctypes.c_int, [link_p, ctypes.c_uint32, ctypes.c_void_p,
                                          ctypes.c_size_t, ctypes.c_uint, ctypes.POINTER(Answer)]),
        "mcucom_command_start": (ctypes.c_int, [link_p, ctypes.c_uint32, ctypes.c_void_p,
                                                ctypes.c_size_t, ctypes.c_uint, ctypes.c_uint64]),
        "mcucom_event_fd": (ctypes.c_int, [link_p]),
        "mcucom_read_events": (ctypes.c_int, [link_p, ctypes.POINTER(Event), ctypes.c_size_t,
                                              ctypes.c_int]),
        "mcucom_events_dropped": (ctypes.c_uint64, [link_p]),
        "mcucom_strerror": (ctypes.c_char_p, [ctypes.c_int]),
        "mcucom_version": (ctypes.c_char_p, []),
        "mcucom_command_flag": (ctypes.c_int, [ctypes.c_uint32]),
        "mcucom_command_entry": (ctypes.c_int, [ctypes.c_size_t, ctypes.POINTER(ctypes.c_uint32),
                                                ctypes.POINTER(ctypes.c_uint8)]),
        "mcucom_frame_build": (ctypes.c_int, [ctypes.c_uint8, ctypes.c_uint8, ctypes.c_uint16,
                                              ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p,
                                              ctypes.c_size_t]),
        "mcucom_frame_find": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int,
                                             ctypes.POINTER(ctypes.c_size_t),
                                             ctypes.POINTER(ctypes.c_size_t)]),
    }
    for name, (restype, argtypes) in signatures.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    return lib


class _Library:
    """The library, loaded on its first use: importing the package (as pytest does to load its
    plugin) needs no library; the first call that does raises LibraryNotFound where it is
    missing."""

    def __init__(self) -> None:
        self._lib = None

    def __getattr__(self, name: str):
        if self._lib is None:
            self._lib = _load()
        return getattr(self._lib, name)


lib = _Library()
