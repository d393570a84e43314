"""The exceptions the library's failures raise: one class for each of the C interface's codes."""

from __future__ import annotations

from typing import Dict, Type


class QuillonError(Exception):
    """A call into the library failed.

    ``code`` is the C interface's result code (negative), ``reason`` the sentence that names it and
    ``message`` what went wrong in that call, with the names and reasons involved.
    """

    code: int = 0

    def __init__(self, code: int, reason: str, message: str) -> None:
        super().__init__(f"{reason}: {message}" if message else reason)
        self.code = code
        self.reason = reason
        self.message = message


class BadArgument(QuillonError, ValueError):
    """An argument was refused: a kind out of range, a record name not 12 characters long, ..."""

    code = -1


class HostClosed(QuillonError):
    """The host was closed already."""

    code = -2


class Busy(QuillonError):
    """Another operation runs on the host, or another host is open in this process."""

    code = -3


class LinkError(QuillonError):
    """A link cannot be set up: the settings were refused, or the TCP port is taken."""

    code = -4


class NoDevice(QuillonError):
    """No device came within the wait, or none is linked."""

    code = -5


class Refused(QuillonError):
    """The device refused the request."""

    code = -6


class NoAnswer(QuillonError):
    """The device did not answer the request."""

    code = -7


class TransferBroken(QuillonError):
    """A transfer broke off: the device stopped acknowledging or sending, or sent a damaged block."""

    code = -8


class TimedOut(QuillonError):
    """The transfer's time-out passed before it ended."""

    code = -9


class Cancelled(QuillonError):
    """The transfer was cancelled; it left nothing half-written."""

    code = -10


class FileError(QuillonError):
    """A local file or folder cannot be read or written."""

    code = -11


class ArchiveError(QuillonError):
    """Not a zip archive, a damaged one, or one that does not unpack into the folder."""

    code = -12


class IncompletePackage(QuillonError):
    """The settings package is incomplete; ``quillon.check`` lists what is missing."""

    code = -13


class InternalError(QuillonError):
    """Out of memory, or a fault in the library."""

    code = -14


class LibraryNotFound(OSError):
    """The shared library could not be loaded; the message names every place that was tried."""


ERRORS: Dict[int, Type[QuillonError]] = {
    cls.code: cls
    for cls in (BadArgument, HostClosed, Busy, LinkError, NoDevice, Refused, NoAnswer, TransferBroken,
                TimedOut, Cancelled, FileError, ArchiveError, IncompletePackage, InternalError)
}


def error_for(code: int, reason: str, message: str) -> QuillonError:
    """The exception for a C result code; QuillonError itself for a code this package does not know."""
    return ERRORS.get(code, QuillonError)(code, reason, message)
