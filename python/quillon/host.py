"""The host: the links that take the device, and the operations on it."""

from __future__ import annotations

import atexit
import ctypes
import enum
import queue
import threading
import time
import weakref
from pathlib import Path
from typing import Any, Callable, Iterable, NamedTuple, Optional

from . import _capi, log
from .errors import HostClosed, NoAnswer, NoDevice

Progress = Callable[[int], Any]

# How long one slice of a wait lasts: a Ctrl-C is seen between slices.
_SLICE = 0.2

_open_hosts: "weakref.WeakSet[Host]" = weakref.WeakSet()


class Link(str, enum.Enum):
    """The link that carries the device; equal to the strings "tcp" and "serial"."""

    SERIAL = "serial"
    TCP = "tcp"


class DeviceDirectory(NamedTuple):
    name: str       # the device's directory name
    path: Path      # the folder of that name
    existed: bool   # whether it was there before


def _milliseconds(timeout: Optional[float]) -> int:
    """A time-out in seconds as the library takes it: None is no bound (0 there), and one that is not
    positive is passed on as negative for the library to refuse."""
    if timeout is None:
        return 0
    return _capi.c_int(max(round(timeout * 1000), 1) if timeout > 0 else -1, "the time-out in milliseconds")


class Host:
    """The links that take the device, open until ``close`` or the end of a ``with`` block.

    One host is open at a time in a process. The keyword arguments change the library's defaults,
    which listen on TCP port 8234 on every IPv4 interface and open no serial port:

    - ``listen_tcp``: whether to listen for the device on TCP at all;
    - ``listen_address``: "0.0.0.0", "::" or one interface's address;
    - ``port``: the TCP port; 0 takes a free one (see ``listening_port``);
    - ``allowed_peers``: addresses and networks that may connect ("10.0.0.5", "192.168.7.0/24");
    - ``serial_ports``: the serial ports to search ("/dev/ttyUSB0", "COM3");
    - ``every_serial_port``: search every serial port of the computer instead.

    Operations block until they end; one runs at a time (another thread gets ``Busy``). Ctrl-C
    cancels an upload or a download, which leaves nothing half-written, and then raises
    KeyboardInterrupt; during the other operations it is raised once the operation returns (within
    two seconds or so), during ``wait_device`` within a fifth of a second.
    """

    def __init__(self, *, listen_tcp: Optional[bool] = None, listen_address: Optional[str] = None,
                 port: Optional[int] = None, allowed_peers: Optional[Iterable[str]] = None,
                 serial_ports: Optional[Iterable[_capi.PathLike]] = None,
                 every_serial_port: Optional[bool] = None) -> None:
        library = _capi.library()
        settings = _capi.LinkSettings()
        library.quillon_link_settings_init(ctypes.byref(settings))
        if listen_tcp is not None:
            settings.listen_tcp = int(bool(listen_tcp))
        if listen_address is not None:
            settings.listen_address = _capi.encode_text(listen_address, "the listen address")
        if port is not None:
            settings.port = _capi.c_int(port, "the port")
        if allowed_peers is not None:
            peers = [_capi.encode_text(peer, "the allowed peer") for peer in allowed_peers]
            settings.allowed_peers = (ctypes.c_char_p * max(len(peers), 1))(*peers)
            settings.allowed_peer_count = len(peers)
        if serial_ports is not None:
            ports = [_capi.encode_path(each) for each in serial_ports]
            settings.serial_ports = (ctypes.c_char_p * max(len(ports), 1))(*ports)
            settings.serial_port_count = len(ports)
        if every_serial_port is not None:
            settings.search_every_serial_port = int(bool(every_serial_port))
        handle = ctypes.c_void_p()
        _capi.call("quillon_open", ctypes.byref(settings), ctypes.byref(handle))
        self._handle: Optional[ctypes.c_void_p] = handle
        _open_hosts.add(self)

    def __enter__(self) -> "Host":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_handle", None) is not None:
            try:
                self.close()
            except Exception:  # nothing to tell it to while being collected
                pass

    def close(self) -> None:
        """Cancels what runs, waits for it to return and stops the links. Closing twice is harmless."""
        handle, self._handle = self._handle, None
        if handle is not None:
            _open_hosts.discard(self)
            _capi.call("quillon_close", handle)

    @property
    def handle(self) -> ctypes.c_void_p:
        """The C interface's handle, for a call this package does not make; HostClosed once closed."""
        if self._handle is None:
            raise HostClosed(HostClosed.code, _capi.strerror(HostClosed.code), "the host was closed")
        return self._handle

    @property
    def listening_port(self) -> int:
        """The TCP port the host listens on; 0 when it does not listen."""
        port = ctypes.c_int()
        _capi.call("quillon_listening_port", self.handle, ctypes.byref(port))
        return port.value

    @property
    def serial_port(self) -> Optional[str]:
        """The serial port that carries the device; None when the device is not on one."""
        name = ctypes.create_string_buffer(4096)
        try:
            _capi.call("quillon_serial_port", self.handle, name, len(name))
        except NoDevice:
            return None
        return _capi.decode_path(name.value)

    def wait_device(self, timeout: Optional[float] = None) -> Link:
        """Waits up to ``timeout`` seconds (None: for ever) for a device and returns the link it came
        on, at once when one is linked already. Raises ``NoDevice`` when none came."""
        deadline = None if timeout is None else time.monotonic() + timeout
        link = ctypes.c_int()
        while True:
            left = _SLICE if deadline is None else min(_SLICE, max(deadline - time.monotonic(), 0.0))
            # The wait is cut into slices so that Python sees a Ctrl-C between them.
            code = _capi.library().quillon_wait_for_device(self.handle, int(left * 1000), ctypes.byref(link))
            if code == 0:
                return Link.TCP if link.value == 1 else Link.SERIAL
            if code != NoDevice.code:
                raise _capi.failure(code)
            if deadline is not None and time.monotonic() >= deadline:
                # The library's message names the last slice; this one, the whole wait.
                raise NoDevice(code, _capi.strerror(code), f"no device came within {timeout:g} s")

    def upload(self, source: _capi.PathLike, kind: int = 0, progress: Optional[Progress] = None,
               timeout: Optional[float] = None) -> None:
        """Sends ``source`` to the device as file kind ``kind`` (0 to 255): a zip archive, or a
        settings package folder, which is checked and packed first (``IncompletePackage``).

        ``progress`` gets the percentage done, rising to 100, on the thread that called ``upload``;
        if it raises, the upload is cancelled and the exception passed on. ``timeout`` bounds the
        whole transfer in seconds (None: no bound)."""
        args = _capi.encode_path(source), _capi.c_int(kind, "the kind"), _milliseconds(timeout)
        self._transfer(lambda handle, fn: _capi.library().quillon_upload(handle, *args, fn, None), progress)

    def download(self, archive: _capi.PathLike, folder: _capi.PathLike, kind: int = 0,
                 progress: Optional[Progress] = None, timeout: Optional[float] = None) -> None:
        """Brings the device's archive of kind ``kind`` into the file ``archive`` and unpacks it into
        ``folder``, which must exist. Both are changed only once the download is whole and
        unpacked; on any failure, cancel or Ctrl-C they are left as they were. ``progress`` and
        ``timeout`` as for ``upload``."""
        args = (_capi.encode_path(archive), _capi.encode_path(folder), _capi.c_int(kind, "the kind"),
                _milliseconds(timeout))
        self._transfer(lambda handle, fn: _capi.library().quillon_download(handle, *args, fn, None), progress)

    def cancel(self) -> None:
        """Ends the upload or download running on the host, which then raises ``Cancelled``.
        Thread-safe; does nothing when no transfer runs."""
        _capi.call("quillon_cancel", self.handle)

    def _transfer(self, start: Callable[[ctypes.c_void_p, Any], int], progress: Optional[Progress]) -> None:
        """Runs a transfer on a worker thread, since Python handles Ctrl-C only between calls, and
        hands its progress to this thread. An exception here (KeyboardInterrupt, or one from the
        progress callable) cancels the transfer, waits for it to end, and is passed on."""
        events: "queue.Queue[tuple]" = queue.Queue()
        stopping = threading.Event()
        handle = self.handle

        def on_progress(percent: int, _user: object) -> None:
            events.put(("progress", percent))
            if stopping.is_set():  # a cancel that came before the transfer began
                _capi.library().quillon_cancel(handle)

        callback = _capi.PROGRESS_FN(on_progress)

        def work() -> None:
            try:
                code = start(handle, callback)
                events.put(("done", code, _capi.failure(code) if code < 0 else None))
            except BaseException as error:  # reaches the caller instead of dying with the thread
                events.put(("done", -14, error))

        worker = threading.Thread(target=work, name="quillon transfer", daemon=True)
        worker.start()
        try:
            while True:
                try:
                    # In slices: a Ctrl-C that lands on another thread, or on Windows, is seen at the next.
                    event = events.get(timeout=_SLICE)
                except queue.Empty:
                    continue
                if event[0] == "done":
                    break
                if progress is not None:
                    progress(event[1])
        except BaseException:
            stopping.set()
            _capi.library().quillon_cancel(handle)
            self._join(worker)
            raise
        if event[2] is not None:
            raise event[2]

    @staticmethod
    def _join(worker: threading.Thread) -> None:
        """Waits for a cancelled transfer to return, through further Ctrl-Cs: the host stays usable."""
        while worker.is_alive():
            try:
                worker.join(_SLICE)
            except KeyboardInterrupt:
                pass

    def read_version(self, kind: int) -> int:
        """The device's version of file kind ``kind`` (0, 1 or 2). Takes about two seconds."""
        version = ctypes.c_int()
        _capi.call("quillon_read_version", self.handle, _capi.c_int(kind, "the kind"), ctypes.byref(version))
        return version.value

    def write_version(self, kind: int, value: int) -> None:
        """Stores ``value`` (0 or more) as the version of file kind ``kind`` (0, 1 or 2)."""
        _capi.call("quillon_write_version", self.handle, _capi.c_int(kind, "the kind"),
                   _capi.c_int(value, "the version"))

    def write_record(self, name: str) -> None:
        """Writes the device record: ``name`` (exactly 12 characters, such as the device serial
        number) with this computer's date and time in UTC. The device does not answer it."""
        _capi.call("quillon_write_record", self.handle, _capi.encode_text(name, "the record name"))

    def probe(self) -> bool:
        """Whether the device answers a probe within half a second."""
        try:
            _capi.call("quillon_probe", self.handle)
        except NoAnswer:
            return False
        return True

    def device_dir(self, folder: _capi.PathLike) -> DeviceDirectory:
        """Asks the device for its directory name and makes sure a folder of that name exists in
        ``folder``. Takes one and a half seconds or more."""
        existed = ctypes.c_int()
        name = ctypes.create_string_buffer(4096)
        _capi.call("quillon_device_directory", self.handle, _capi.encode_path(folder), ctypes.byref(existed),
                   name, len(name))
        text = _capi.decode_path(name.value)
        return DeviceDirectory(text, Path(_capi.decode_path(_capi.encode_path(folder))) / text, bool(existed.value))


@atexit.register
def _shutdown() -> None:
    """Closes what is still open and takes the log callback back, before the interpreter goes."""
    for host in list(_open_hosts):
        host.close()
    log.unhook()
