"""The package functions on disk, the failures that need no device, the library's search, and the
README's bench script."""

import logging
import os
import re
import socket
import subprocess
import sys
from pathlib import Path

import pytest

import quillon
from conftest import SERIAL, contents
from quillon.simulator import Device

HERE = Path(__file__).resolve().parent
# The package as these tests see it, also in the programs they start.
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join([str(Path(quillon.__file__).parent.parent),
                                                    os.environ.get("PYTHONPATH", "")])}


def test_pack_unpack_check_repair(package, tmp_path):
    assert quillon.check(package) == []
    quillon.pack(package, tmp_path / "package.zip")
    (tmp_path / "unpacked").mkdir()
    quillon.unpack(os.fsencode(tmp_path / "package.zip"), str(tmp_path / "unpacked"))
    assert contents(tmp_path / "unpacked") == contents(package)
    (tmp_path / "root").mkdir()
    assert quillon.repair(tmp_path / "root", package) and not quillon.repair(tmp_path / "root", package)
    assert contents(tmp_path / "root" / SERIAL) == contents(package)
    (package / f"{SERIAL}.RGF").unlink()
    problems = quillon.check(package)
    assert len(problems) == 1 and f"{SERIAL}.RGF" in problems[0]


def wait_alone():
    with quillon.Host(listen_address="127.0.0.1", port=0) as host:
        host.wait_device(0.3)


NO_DEVICE = [
    (lambda tmp_path: quillon.unpack(tmp_path / "a.zip", tmp_path), quillon.ArchiveError),
    (lambda tmp_path: quillon.pack(tmp_path / "missing", tmp_path / "a.zip"), quillon.FileError),
    (lambda tmp_path: wait_alone(), quillon.NoDevice),
    (lambda tmp_path: quillon.pack(f"{tmp_path}\0/elsewhere", tmp_path / "a.zip"), quillon.BadArgument),
]


@pytest.mark.parametrize("action, error", NO_DEVICE, ids=[error.__name__ for _, error in NO_DEVICE])
def test_failure_without_a_device_raises_its_class(tmp_path, action, error):
    (tmp_path / "a.zip").write_bytes(b"not a zip archive")
    with pytest.raises(error) as raised:
        action(tmp_path)
    assert raised.value.code == error.code and raised.value.message, raised.value


def test_diagnostics_reach_the_quillon_logger_unasked(caplog):
    with socket.create_server(("127.0.0.1", 0)) as taken, pytest.raises(quillon.LinkError) as raised:
        quillon.Host(listen_address="127.0.0.1", port=taken.getsockname()[1])
    assert raised.value.code == quillon.LinkError.code and "port" in raised.value.message
    assert any(record.name == "quillon" and record.levelno == logging.ERROR for record in caplog.records)


def test_a_missing_library_is_named_with_every_place_looked(tmp_path):
    missing = tmp_path / "libquillon.so"
    run = subprocess.run([sys.executable, "-c", "import quillon; quillon.library_version()"], capture_output=True,
                         text=True, env={**ENV, "QUILLON_LIBRARY": str(missing)})
    assert "LibraryNotFound" in run.stderr and str(missing) in run.stderr, run.stderr
    assert str(Path(quillon.__file__).parent) in run.stderr


def test_the_readme_bench_script_is_the_example_and_runs(package, tmp_path):
    readme = (HERE.parent / "README.md").read_text()
    script = HERE.parent / "examples" / "bench.py"
    assert re.search(r'```python\n("""A bench script.*?)```', readme, re.S).group(1) == script.read_text()
    (tmp_path / "work").mkdir()
    bench = subprocess.Popen([sys.executable, str(script), str(package), str(tmp_path / "work"), "--port", "0"],
                             env=ENV, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    port = re.search(r"TCP port (\d+)", bench.stdout.readline()).group(1)
    with Device(tmp_path / "device", tcp=f"127.0.0.1:{port}"):
        out = bench.communicate(timeout=60)[0]
    assert bench.returncode == 0, out
    assert "upload 100%" in out and "download 100%" in out and "file version: 0" in out
    assert contents(tmp_path / "work" / "unpacked") == contents(package)
