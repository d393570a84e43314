"""Quillon for Python: moves a device's settings package between the device and this computer.

    import quillon

    with quillon.Host(port=8234) as host:
        host.wait_device(timeout=30)
        host.upload("package", progress=lambda percent: print(percent, "%"))

The package calls the Quillon library's C interface through ctypes. It looks for the library
(libquillon.so, Quillon.dll) where the environment variable QUILLON_LIBRARY says, then beside the
package, then on the system's library path, when it is first needed.
"""

from __future__ import annotations

from . import _capi
from .errors import (ArchiveError, BadArgument, Busy, Cancelled, FileError, HostClosed, IncompletePackage,
                     InternalError, LibraryNotFound, LinkError, NoAnswer, NoDevice, QuillonError, Refused,
                     TimedOut, TransferBroken)
from .host import DeviceDirectory, Host, Link
from .log import set_log
from .packages import check, pack, repair, unpack

__version__ = "0.1.0"

__all__ = [
    "ArchiveError", "BadArgument", "Busy", "Cancelled", "DeviceDirectory", "FileError", "Host", "HostClosed",
    "IncompletePackage", "InternalError", "LibraryNotFound", "Link", "LinkError", "NoAnswer", "NoDevice",
    "QuillonError", "Refused", "TimedOut", "TransferBroken", "check", "library_version", "pack", "repair",
    "set_log", "unpack",
]


def library_version() -> str:
    """The version of the library in use, "MAJOR.MINOR.PATCH"."""
    return _capi.library().quillon_version().decode()
