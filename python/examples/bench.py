"""A bench script: waits for a device, uploads a settings package folder, downloads the device's
archive back into a work folder and unpacks it there, and reads the device's file version.

    python3 bench.py <package folder> <work folder> [--port N]
"""
import argparse
import sys
from pathlib import Path

import quillon


def progress_line(what):
    """A progress callable that keeps one line up to date. It runs on the thread that started the
    transfer, so it may touch anything that thread owns."""
    def show(percent):
        print(f"\r{what} {percent:3d}%", end="\n" if percent == 100 else "", flush=True)
    return show


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("package", type=Path)
    parser.add_argument("work", type=Path)
    parser.add_argument("--port", type=int, default=8234, help="TCP port to listen on (0: a free one)")
    args = parser.parse_args()
    try:
        with quillon.Host(port=args.port) as host:
            print(f"waiting for the device on TCP port {host.listening_port}", flush=True)
            print("device on", host.wait_device(timeout=30).value)
            host.upload(args.package, progress=progress_line("upload"), timeout=120)
            (args.work / "unpacked").mkdir(exist_ok=True)
            host.download(args.work / "settings.zip", args.work / "unpacked",
                          progress=progress_line("download"), timeout=120)
            print("file version:", host.read_version(0))
    except quillon.QuillonError as error:
        print(f"\nfailed: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("\ncancelled; nothing was left half-written", file=sys.stderr)
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
