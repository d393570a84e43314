"""Settings packages on disk: packing, unpacking, checking and repairing them. No host needed."""

from __future__ import annotations

import ctypes
from typing import List

from . import _capi
from ._capi import PathLike, encode_path
from .errors import IncompletePackage


def pack(folder: PathLike, archive: PathLike) -> None:
    """Packs the settings package in ``folder`` into the zip archive ``archive``, which is replaced
    only once the new one is whole. A link among the package's files is refused."""
    _capi.call("quillon_pack", encode_path(folder), encode_path(archive))


def unpack(archive: PathLike, folder: PathLike) -> None:
    """Unpacks ``archive`` into ``folder``, which must exist: every entry, or nothing at all."""
    _capi.call("quillon_unpack", encode_path(archive), encode_path(folder))


def check(folder: PathLike) -> List[str]:
    """The problems of the settings package in ``folder``, one line each; empty when it is complete.
    An incomplete package also gets them in "CheckSetInfo.TXT" inside the folder."""
    size = 64 * 1024
    while True:
        problems = ctypes.create_string_buffer(size)
        try:
            _capi.call("quillon_check", encode_path(folder), problems, size)
            return []
        except IncompletePackage:
            pass
        text = problems.value.decode("utf-8", "replace")
        # The list is cut at a line when it does not fit; room for a long line left means it fitted.
        if size - len(problems.value) > 8192 or size >= 64 * 1024 * 1024:
            return text.splitlines()
        size *= 4


def repair(root: PathLike, package: PathLike) -> bool:
    """Copies the package in ``package`` into a folder under ``root`` named after the device serial
    number its description names, unless that folder exists already; whether it was made now."""
    created = ctypes.c_int()
    _capi.call("quillon_repair", encode_path(root), encode_path(package), ctypes.byref(created))
    return bool(created.value)
