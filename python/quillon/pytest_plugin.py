"""Fixtures for a bench's tests, there once the package is installed:

    def test_roundtrip(quillon_host, quillon_device, tmp_path):
        quillon_host.upload("package")
        assert (quillon_device.state / "kind-0.zip").exists()

``quillon_device`` is a simulated device (``quillon.simulator.Device``) with a fresh state folder;
``quillon_host`` a ``quillon.Host`` it is pointed at, listening on a free loopback port, with the
device already linked (the fixture waits for it, up to 30 s: a port search takes some seconds). Override
the fixture ``quillon_link`` ("tcp", or "pty" for a pseudo-terminal that the host opens as its
serial port) and ``quillon_device_options`` (the simulator's further options, such as faults) by
parametrizing them:

    @pytest.mark.parametrize("quillon_device_options", [["--refuse", "upload"]])
    @pytest.mark.parametrize("quillon_link", ["tcp", "pty"])
    def test_refused(quillon_host, quillon_device): ...

The simulator is found through QUILLON_DEVICE, beside the library, in its build tree or on PATH.
"""

from __future__ import annotations

import sys
from typing import Iterator, Sequence, Tuple

import pytest


@pytest.fixture
def quillon_link() -> str:
    """How the device is linked: "tcp" or "pty"."""
    return "tcp"


@pytest.fixture
def quillon_device_options() -> Sequence[str]:
    """The simulator's options beyond its link and state folder."""
    return ()


@pytest.fixture
def _quillon_bench(quillon_link: str, quillon_device_options: Sequence[str],
                   tmp_path_factory: pytest.TempPathFactory) -> Iterator[Tuple[object, object]]:
    from .host import Host  # here, so that pytest loads the plugin where no library is
    from .simulator import Device

    if quillon_link == "pty" and sys.platform == "win32":
        pytest.skip("pseudo-terminals need a POSIX system")
    state = tmp_path_factory.mktemp("quillon-device") / "state"
    if quillon_link == "pty":
        device = Device(state, *quillon_device_options, pty=True)
        try:
            host = Host(serial_ports=[device.address], listen_tcp=False)
        except BaseException:
            device.stop()
            raise
    else:
        host = Host(listen_address="127.0.0.1", port=0)
        try:
            device = Device(state, *quillon_device_options, tcp=f"127.0.0.1:{host.listening_port}")
        except BaseException:
            host.close()
            raise
    try:
        host.wait_device(timeout=30)
        yield host, device
    finally:
        try:
            host.close()
        finally:
            device.stop()


@pytest.fixture
def quillon_host(_quillon_bench):
    """A ``quillon.Host`` with the simulated device linked."""
    return _quillon_bench[0]


@pytest.fixture
def quillon_device(_quillon_bench):
    """The simulated device: ``address``, ``state`` (its folder), ``log`` and ``stop()``."""
    return _quillon_bench[1]
