"""Every operation of a Host against the simulated device, its failures, and Ctrl-C."""

import logging
import os
import signal
import threading

import pytest

import quillon
from conftest import SERIAL, contents


@pytest.mark.parametrize("quillon_link", ["tcp", "pty"])
def test_every_operation(quillon_host, quillon_device, quillon_link, package, tmp_path, caplog):
    caplog.set_level(logging.DEBUG, logger="quillon")
    quillon.set_log(level=logging.DEBUG)  # the protocol's traffic: records that every operation makes
    assert quillon_host.wait_device(timeout=10) == {"tcp": "tcp", "pty": "serial"}[quillon_link]
    assert (quillon_host.listening_port > 0) == (quillon_link == "tcp")
    assert quillon_host.serial_port == (quillon_device.address if quillon_link == "pty" else None)

    uploaded, downloaded = [], []
    quillon_host.upload(package, progress=uploaded.append)
    assert (quillon_device.state / "kind-0.zip").is_file()
    (tmp_path / "back").mkdir()
    quillon_host.download(tmp_path / "back.zip", tmp_path / "back", progress=downloaded.append)
    assert contents(tmp_path / "back") == contents(package)
    for values in (uploaded, downloaded):
        assert values == sorted(set(values)) and values[-1] == 100

    quillon_host.write_record(SERIAL)
    quillon_host.write_version(1, 42)
    assert quillon_host.read_version(1) == 42
    assert SERIAL in (quillon_device.state / "device-record.txt").read_text()
    assert quillon_host.probe()
    made = quillon_host.device_dir(tmp_path)
    assert made.path == tmp_path / made.name and made.path.is_dir() and not made.existed
    quillon.set_log()
    assert any(record.name == "quillon" and record.levelno == logging.DEBUG for record in caplog.records)


def upload(host, package, tmp_path, **options):
    host.upload(package, **options)


def download(host, package, tmp_path, **options):
    (tmp_path / "back").mkdir(exist_ok=True)
    host.download(tmp_path / "back.zip", tmp_path / "back", **options)


def incomplete(host, package, tmp_path):
    (package / f"{SERIAL}.RGF").unlink()
    host.upload(package)


def second_host(host, package, tmp_path):
    quillon.Host(port=0)


def closed(host, package, tmp_path):
    host.close()
    host.probe()


FAILURES = [
    (["--refuse", "upload"], upload, quillon.Refused),
    (["--refuse", "download"], download, quillon.Refused),
    (["--refuse", "version-write"], lambda host, *_: host.write_version(0, 1), quillon.Refused),
    (["--silent"], lambda host, *_: host.read_version(0), quillon.NoAnswer),
    (["--stop-acks-after", "2"], upload, quillon.TransferBroken),
    (["--corrupt-block", "2"], download, quillon.TransferBroken),
    (["--delay", "400"], lambda *args: upload(*args, timeout=0.3), quillon.TimedOut),
    (["--line-rate"], lambda host, *args: upload(host, *args, progress=lambda _: host.cancel()),
     quillon.Cancelled),
    ([], incomplete, quillon.IncompletePackage),
    ([], lambda host, _, tmp_path: host.download(tmp_path / "a.zip", tmp_path / "missing"), quillon.FileError),
    ([], lambda host, *_: host.write_record("short"), quillon.BadArgument),
    ([], lambda host, *_: host.read_version(2**32), quillon.BadArgument),  # not kind 0
    ([], second_host, quillon.Busy),
    ([], closed, quillon.HostClosed),
]


@pytest.mark.parametrize("quillon_device_options, action, error", FAILURES, indirect=["quillon_device_options"],
                         ids=[error.__name__ for _, _, error in FAILURES])
def test_failure_raises_its_class(quillon_host, quillon_device, package, tmp_path, action, error):
    with pytest.raises(error) as raised:
        action(quillon_host, package, tmp_path)
    assert raised.value.code == error.code and raised.value.message, raised.value


@pytest.mark.parametrize("quillon_device_options", [["--line-rate"]], indirect=True)
@pytest.mark.parametrize("transfer", [upload, download])
def test_ctrl_c_cancels_and_leaves_nothing_half_written(quillon_host, quillon_device, package, tmp_path, transfer):
    (tmp_path / "back").mkdir()
    (tmp_path / "back" / "kept.txt").write_bytes(b"unpacked earlier")
    (tmp_path / "back.zip").write_bytes(b"the archive an earlier download left")
    before = contents(tmp_path)
    percents = []

    def interrupt(percent):
        # Ctrl-C as the terminal sends it: a signal to the process, taken by whichever thread.
        percents.append(percent)
        if len(percents) == 1:
            threading.Thread(target=os.kill, args=(os.getpid(), signal.SIGINT)).start()

    with pytest.raises(KeyboardInterrupt):
        transfer(quillon_host, package, tmp_path, progress=interrupt)
    assert percents and percents[-1] < 100
    assert contents(tmp_path) == before
    assert not (quillon_device.state / "kind-0.zip").exists()
    assert quillon_host.probe()  # the transfer has returned: the host takes the next operation
