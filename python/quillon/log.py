"""Where the library's diagnostics go: by default into the ``logging.Logger`` named "quillon"."""

from __future__ import annotations

import logging
import threading
from typing import Callable, Optional

from . import _capi

LogHandler = Callable[[int, str], None]

# The library's levels (error, warning, info, debug) as logging's.
_LEVELS = (logging.ERROR, logging.WARNING, logging.INFO, logging.DEBUG)

logger = logging.getLogger("quillon")

_lock = threading.Lock()
_hook: Optional[object] = None  # the ctypes callback the library holds; kept alive here
_wanted: tuple = (None, logging.INFO)


def set_log(handler: Optional[LogHandler] = None, level: int = logging.INFO) -> None:
    """Sends the library's diagnostics at ``level`` (a ``logging`` level) and above to ``handler``,
    which gets a ``logging`` level and the message, or to the "quillon" logger when it is None (the
    default, at INFO; DEBUG adds the protocol's traffic line by line).

    The handler is called on whichever thread logs, the library's link threads among them, so it
    must be thread-safe; what it raises is dropped. Applies process-wide."""
    global _wanted
    with _lock:
        _wanted = (handler, level)
    if _capi._library is not None:
        _install()


def _install() -> None:
    global _hook
    handler, level = _wanted
    deliver = handler or (lambda lvl, text: logger.log(lvl, "%s", text))

    def hook(c_level: int, message: bytes, _user: object) -> None:
        try:
            deliver(_LEVELS[min(max(c_level, 0), 3)], message.decode("utf-8", "replace"))
        except Exception:  # nowhere to raise it on a library thread
            pass

    max_level = sum(1 for each in _LEVELS[1:] if level <= each)
    with _lock:
        new_hook = _capi.LOG_FN(hook)
        _capi.call("quillon_set_log", new_hook, max_level, None)
        _hook = new_hook  # the old one is no longer called once quillon_set_log has returned


def unhook() -> None:
    """Takes the callback back from the library before the interpreter goes, keeping only errors
    (on standard output)."""
    global _hook
    if _capi._library is not None:
        with _lock:
            _capi.library().quillon_set_log(_capi.LOG_FN(), 0, None)
            _hook = None


_capi.on_load.append(_install)
