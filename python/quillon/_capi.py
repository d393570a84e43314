"""The C interface through ctypes: finding and loading the shared library, and each function's types."""

from __future__ import annotations

import ctypes
import ctypes.util
import operator
import os
import sys
import threading
from pathlib import Path
from typing import Any, Callable, List, Optional, Tuple, Union

from .errors import LibraryNotFound, error_for

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

if sys.platform == "win32":
    LIBRARY_NAMES = ["Quillon.dll"]
elif sys.platform == "darwin":
    LIBRARY_NAMES = ["libquillon.dylib"]
else:
    LIBRARY_NAMES = ["libquillon.so", "libquillon.so.0"]

LOG_FN = ctypes.CFUNCTYPE(None, ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p)
PROGRESS_FN = ctypes.CFUNCTYPE(None, ctypes.c_int, ctypes.c_void_p)


class LinkSettings(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_size_t),
        ("listen_tcp", ctypes.c_int),
        ("listen_address", ctypes.c_char_p),
        ("port", ctypes.c_int),
        ("allowed_peers", ctypes.POINTER(ctypes.c_char_p)),
        ("allowed_peer_count", ctypes.c_size_t),
        ("search_every_serial_port", ctypes.c_int),
        ("serial_ports", ctypes.POINTER(ctypes.c_char_p)),
        ("serial_port_count", ctypes.c_size_t),
    ]


_HOST = ctypes.c_void_p
_INT_P = ctypes.POINTER(ctypes.c_int)
_TYPES = {
    "quillon_strerror": (ctypes.c_char_p, [ctypes.c_int]),
    "quillon_last_error": (ctypes.c_char_p, []),
    "quillon_version": (ctypes.c_char_p, []),
    "quillon_set_log": (ctypes.c_int, [LOG_FN, ctypes.c_int, ctypes.c_void_p]),
    "quillon_link_settings_init": (None, [ctypes.POINTER(LinkSettings)]),
    "quillon_open": (ctypes.c_int, [ctypes.POINTER(LinkSettings), ctypes.POINTER(_HOST)]),
    "quillon_close": (ctypes.c_int, [_HOST]),
    "quillon_listening_port": (ctypes.c_int, [_HOST, _INT_P]),
    "quillon_wait_for_device": (ctypes.c_int, [_HOST, ctypes.c_long, _INT_P]),
    "quillon_serial_port": (ctypes.c_int, [_HOST, ctypes.c_char_p, ctypes.c_size_t]),
    "quillon_upload": (ctypes.c_int, [_HOST, ctypes.c_char_p, ctypes.c_int, ctypes.c_long, PROGRESS_FN,
                                      ctypes.c_void_p]),
    "quillon_download": (ctypes.c_int, [_HOST, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_long,
                                        PROGRESS_FN, ctypes.c_void_p]),
    "quillon_cancel": (ctypes.c_int, [_HOST]),
    "quillon_read_version": (ctypes.c_int, [_HOST, ctypes.c_int, _INT_P]),
    "quillon_write_version": (ctypes.c_int, [_HOST, ctypes.c_int, ctypes.c_int]),
    "quillon_write_record": (ctypes.c_int, [_HOST, ctypes.c_char_p]),
    "quillon_probe": (ctypes.c_int, [_HOST]),
    "quillon_device_directory": (ctypes.c_int, [_HOST, ctypes.c_char_p, _INT_P, ctypes.c_char_p,
                                                ctypes.c_size_t]),
    "quillon_pack": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p]),
    "quillon_unpack": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p]),
    "quillon_check": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]),
    "quillon_repair": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p, _INT_P]),
}

BAD_ARGUMENT = -1

_library: Optional[ctypes.CDLL] = None
_library_path: Optional[str] = None
_loading = threading.Lock()
# Runs once the library is loaded (the log hook installs itself here).
on_load: List[Callable[[], None]] = []


def _candidates() -> List[Tuple[str, str]]:
    """(what to load, where it came from), in the order they are tried."""
    found: List[Tuple[str, str]] = []
    configured = os.environ.get("QUILLON_LIBRARY")
    if configured:
        if os.path.isdir(configured):
            found += [(os.path.join(configured, name), "QUILLON_LIBRARY") for name in LIBRARY_NAMES]
        else:
            found.append((configured, "QUILLON_LIBRARY"))
    here = Path(__file__).resolve().parent
    found += [(str(here / name), "beside the package") for name in LIBRARY_NAMES]
    found += [(name, "the system's library path") for name in LIBRARY_NAMES]
    system = ctypes.util.find_library("quillon")
    if system and system not in LIBRARY_NAMES:
        found.append((system, "the system's library path"))
    return found


def library() -> ctypes.CDLL:
    """The shared library, loaded on first use so that importing the package (as pytest does with
    the plugin) needs no library."""
    global _library, _library_path
    with _loading:
        if _library is not None:
            return _library
        tried = [] if os.environ.get("QUILLON_LIBRARY") else ["  QUILLON_LIBRARY: not set"]
        for name, origin in _candidates():
            try:
                loaded = ctypes.CDLL(name)
            except OSError as error:
                tried.append(f"  {name} ({origin}): {error}")
                continue
            for function, (restype, argtypes) in _TYPES.items():
                getattr(loaded, function).restype = restype
                getattr(loaded, function).argtypes = argtypes
            _library, _library_path = loaded, name
            break
        else:
            raise LibraryNotFound("cannot load the Quillon library; set QUILLON_LIBRARY to its path. Tried:\n" +
                                  "\n".join(tried))
    for hook in on_load:
        hook()
    return _library


def library_path() -> Optional[str]:
    """Where the library was loaded from, once it is; a bare name when the system found it."""
    library()
    return _library_path


def strerror(code: int) -> str:
    return library().quillon_strerror(code).decode("utf-8", "replace")


def call(function: str, *args: Any) -> int:
    """Calls a C function and raises the exception for its code when it fails. The message is read at
    once, on the calling thread, as the library keeps it per thread."""
    result = getattr(library(), function)(*args)
    if result < 0:
        raise failure(result)
    return result


def failure(code: int):
    """The exception for a code that the calling thread's last call returned."""
    message = library().quillon_last_error().decode("utf-8", "replace")
    return error_for(code, strerror(code), message)


def bad_argument(message: str):
    return error_for(BAD_ARGUMENT, strerror(BAD_ARGUMENT), message)


def c_int(value: Any, what: str) -> int:
    """``value`` as a C int. ctypes would cut a larger number down without a word (2**32 becomes 0),
    so one out of range is refused here."""
    try:
        number = operator.index(value)
    except TypeError:
        raise bad_argument(f"{what} must be an integer, not {type(value).__name__}") from None
    if not -2**31 <= number < 2**31:
        raise bad_argument(f"{what} {number} is out of range")
    return number


def encode_text(text: Any, what: str, encode: Callable[[Any], bytes] = lambda text: text.encode()) -> bytes:
    """A string as the library takes it. C would end it at a NUL character, naming another file or
    device than the caller meant, so one with a NUL is refused."""
    try:
        raw = encode(text)
    except (AttributeError, TypeError, UnicodeError) as error:
        raise bad_argument(f"{what} {text!r} cannot be passed: {error}") from None
    if b"\0" in raw:
        raise bad_argument(f"{what} {text!r} holds a NUL character")
    return raw


def _native_path(path: PathLike) -> bytes:
    native = os.fspath(path)
    if isinstance(native, bytes):
        return native
    return native.encode("mbcs", "strict") if sys.platform == "win32" else os.fsencode(native)


def encode_path(path: PathLike) -> bytes:
    """A path as the library takes it: the file system's bytes, or the ANSI code page on Windows."""
    return encode_text(path, "the path", _native_path)


def decode_path(raw: bytes) -> str:
    return raw.decode("mbcs", "replace") if sys.platform == "win32" else os.fsdecode(raw)
