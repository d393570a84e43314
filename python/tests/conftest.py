"""What the tests share: a complete settings package, the archive the device serves, and a folder's
contents to compare."""

import random
from pathlib import Path

import pytest

import quillon

SERIAL = "AB12XY345678"


def contents(folder: Path) -> dict:
    return {str(path.relative_to(folder)): path.read_bytes() for path in folder.rglob("*") if path.is_file()}


@pytest.fixture
def package(tmp_path: Path) -> Path:
    """A complete package whose ORI file takes many blocks: seconds at a serial line's pace."""
    folder = tmp_path / "package"
    folder.mkdir()
    (folder / "DeviceSet.DST").write_bytes(f"{SERIAL}\r\nBDB0001\r\n".encode())
    (folder / f"{SERIAL}.ORI").write_bytes(random.Random(1).randbytes(64 * 1024))
    (folder / f"{SERIAL}.RGF").write_bytes(b"RGF\n")
    (folder / "BDB0001.bdb").write_bytes(b"bdb\n")
    return folder


@pytest.fixture
def quillon_device_options(request, package: Path, tmp_path: Path) -> list:
    """The device serves the package for a download of a kind never uploaded; a test's indirect
    parameter adds faults."""
    quillon.pack(package, tmp_path / "served.zip")
    return ["--archive", str(tmp_path / "served.zip"), *getattr(request, "param", ())]
