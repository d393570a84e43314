"""The simulated device (the quillon-device program) in a process of its own, for benches and tests."""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import sys
from pathlib import Path
from typing import List, Optional, Sequence, Tuple

from . import _capi

PROGRAM = "quillon-device.exe" if sys.platform == "win32" else "quillon-device"


def find_simulator() -> str:
    """The simulator's path: QUILLON_DEVICE, else beside the library, else in the build tree the
    library was built in, else on PATH. FileNotFoundError names every place looked in."""
    places: List[Tuple[Optional[str], str]] = [(os.environ.get("QUILLON_DEVICE"), "QUILLON_DEVICE")]
    try:
        library = _capi.library_path()
    except OSError:
        library = None
    if library and os.path.dirname(library):
        folder = Path(library).resolve().parent
        places += [(str(folder / PROGRAM), "beside the library"),
                   (str(folder.parent / "tools" / "device" / PROGRAM), "in the library's build tree")]
    places.append((shutil.which(PROGRAM), "on PATH"))
    for path, _ in places:
        if path and os.path.isfile(path) and os.access(path, os.X_OK):
            return path
    looked = [f"  {origin}: {path or 'nothing'}" for path, origin in places]
    raise FileNotFoundError(f"cannot find {PROGRAM}; set QUILLON_DEVICE to its path. Looked:\n" + "\n".join(looked))


class Device:
    """A simulated device that serves a host until ``stop``: over TCP, connecting to ``tcp``
    ("HOST:PORT") and again whenever the link drops, or on a new pseudo-terminal with ``pty``.

    ``options`` are the program's further options, such as faults (``"--refuse", "upload"``); see
    ``quillon-device --help``. What the device keeps (uploaded archives as kind-<k>.zip, versions,
    the device record) is in the folder ``state``; what it logs, in ``log``."""

    def __init__(self, state: os.PathLike, *options: str, tcp: Optional[str] = None, pty: bool = False,
                 program: Optional[str] = None) -> None:
        self.state = Path(state)
        self.state.mkdir(parents=True, exist_ok=True)
        self._log_path = self.state.parent / (self.state.name + ".log")
        link: Sequence[str] = ["--pty"] if pty else ["--tcp", tcp or "127.0.0.1:8234"]  # the program's default
        with open(self._log_path, "wb") as log:
            self._process = subprocess.Popen(
                [program or find_simulator(), "--state", str(self.state), *link, *options],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE if pty else subprocess.DEVNULL, stderr=log)
        #: "HOST:PORT" the device connects to, or the pseudo-terminal's path the host opens
        self.address = link[-1]
        if pty:
            assert self._process.stdout is not None
            # The first line, or end of file when the program could not start.
            self.address = self._process.stdout.readline().decode().rstrip("\n")
            if not self.address:
                self.stop()
                raise RuntimeError("quillon-device did not start:\n" + self.log)

    @property
    def log(self) -> str:
        """What the device has logged so far, a line per event."""
        return self._log_path.read_text(errors="replace")

    @property
    def running(self) -> bool:
        return self._process.poll() is None

    def stop(self, timeout: float = 10) -> int:
        """Stops the device as Ctrl-C would and returns its exit status (0: a clean stop)."""
        if self.running:
            if sys.platform == "win32":
                self._process.terminate()
            else:
                self._process.send_signal(signal.SIGTERM)
        try:
            status = self._process.wait(timeout)
        except subprocess.TimeoutExpired:
            self._process.kill()
            status = self._process.wait()
        if self._process.stdout is not None:
            self._process.stdout.close()
        return status

    def __enter__(self) -> "Device":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stop()
