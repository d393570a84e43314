#!/usr/bin/env python3
"""Plants the faults of scripts/mutants.txt one at a time and says which ones the tests catch.

For each fault: the file is changed, the build brought up to date, the tests of the programs that
cover the file run (stopping at the first failure); a fault they miss is tried against the whole
suite. The file is put back whatever happens, before the next fault and on an interrupt. A fault
that no longer applies (its text is not in the file exactly once) or that does not build is
reported as such and counts neither way: the table must then be brought up to date.

    scripts/mutants.py BUILD_DIR [--only WORDS] [--list]
"""

import argparse
import json
import os
import re
import signal
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
TABLE = ROOT / "scripts" / "mutants.txt"


@dataclass
class Fault:
    title: str
    file: str = ""
    programs: list = field(default_factory=list)
    edits: list = field(default_factory=list)  # (find lines, replace lines)


def read_table(path):
    faults = []
    for number, raw in enumerate(path.read_text().splitlines(), 1):
        line = raw.rstrip()
        if not line or line.startswith("#"):
            continue
        if line.startswith("== "):
            faults.append(Fault(line[3:].strip()))
            continue
        if not faults:
            sys.exit(f"{path}:{number}: a fault starts with '== '")
        fault = faults[-1]
        if line.startswith("file:"):
            fault.file = line[5:].strip()
        elif line.startswith("tests:"):
            fault.programs = line[6:].split()
        elif line.startswith("-"):
            if not fault.edits or fault.edits[-1][1]:
                fault.edits.append(([], []))
            fault.edits[-1][0].append(line[1:].strip())
        elif line.startswith("+"):
            if not fault.edits:
                sys.exit(f"{path}:{number}: '+' before any '-'")
            fault.edits[-1][1].append(line[1:].strip())
        else:
            sys.exit(f"{path}:{number}: cannot read {line!r}")
    for fault in faults:
        if not fault.file or not fault.programs or not fault.edits:
            sys.exit(f"{path}: fault {fault.title!r} needs a file, tests and an edit")
    return faults


def apply_edit(text, find, replace):
    """The text with the one place where the find lines stand replaced; None unless exactly one.
    Lines are compared without their indentation: the first and last find lines may be part of a
    line, the ones between are whole lines."""
    lines = text.split("\n")
    starts = []
    offset = 0
    offsets = []
    for line in lines:
        offsets.append(offset)
        offset += len(line) + 1
    for i in range(len(lines) - len(find) + 1):
        if all(find[k] in lines[i + k] for k in range(len(find))):
            starts.append(i)
    if len(starts) != 1:
        return None
    i = starts[0]
    start = offsets[i] + lines[i].index(find[0])
    last = i + len(find) - 1
    end = offsets[last] + lines[last].index(find[-1]) + len(find[-1])
    return text[:start] + "\n".join(replace) + text[end:]


def tests_by_program(build):
    listing = subprocess.run(["ctest", "--show-only=json-v1"], cwd=build, check=True, capture_output=True, text=True)
    programs = {}
    for test in json.loads(listing.stdout)["tests"]:
        command = test.get("command") or []
        if command:
            programs.setdefault(Path(command[0]).name, []).append(test["name"])
    return programs


def run(command, cwd, log):
    with open(log, "a") as out:
        out.write(f"\n$ {' '.join(command)}\n")
        out.flush()
        return subprocess.run(command, cwd=cwd, stdout=out, stderr=subprocess.STDOUT).returncode


def ctest(build, names, log, jobs):
    command = ["ctest", "--stop-on-failure", "-j", str(jobs), "--timeout", "300"]
    if names is not None:
        command += ["-R", "^(" + "|".join(re.escape(n) for n in names) + ")$"]
    return run(command, build, log)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", type=Path, help="a configured build folder (tests and tools on)")
    parser.add_argument("--only", nargs="*", default=[], help="only the faults whose title holds one of these")
    parser.add_argument("--list", action="store_true", help="list the faults and check they apply, run nothing")
    parser.add_argument("--jobs", type=int, default=2 * (os.cpu_count() or 1))
    args = parser.parse_args()

    faults = read_table(TABLE)
    if args.only:
        faults = [f for f in faults if any(w in f.title for w in args.only)]
    build = args.build.resolve()
    log = build / "mutants.log"
    log.write_text("")

    programs = {} if args.list else tests_by_program(build)
    results = {"killed": 0, "survived": 0, "stale": 0, "unbuilt": 0}
    survivors = []
    for number, fault in enumerate(faults, 1):
        path = ROOT / fault.file
        original = path.read_text()
        changed = original
        for find, replace in fault.edits:
            changed = apply_edit(changed, find, replace) if changed is not None else None
        label = f"{number:2}/{len(faults)} {fault.title}"
        if changed is None:
            results["stale"] += 1
            print(f"{label}: STALE (its text is not in {fault.file} exactly once)", flush=True)
            continue
        unknown = [p for p in fault.programs if p not in programs]
        if args.list:
            print(f"{label}: applies", flush=True)
            continue
        if unknown:
            sys.exit(f"{label}: no test program {', '.join(unknown)} in {build}")

        began = time.monotonic()
        # Back to the original on any way out, Ctrl-C included. It keeps the new time stamp: the
        # build must see the file change again, or the planted fault would stay in its object.
        previous = signal.signal(signal.SIGINT, signal.default_int_handler)
        try:
            path.write_text(changed)
            names = [n for p in fault.programs for n in programs[p]]
            if run(["cmake", "--build", str(build)], ROOT, log) != 0:
                verdict, outcome = "DID NOT BUILD", "unbuilt"
            elif ctest(build, names, log, args.jobs) != 0:
                verdict, outcome = "killed", "killed"
            elif ctest(build, None, log, args.jobs) != 0:
                verdict, outcome = "killed (by the whole suite)", "killed"
            else:
                verdict, outcome = "SURVIVED", "survived"
                survivors.append(fault.title)
            results[outcome] += 1
        finally:
            path.write_text(original)
            signal.signal(signal.SIGINT, previous)
        print(f"{label}: {verdict} ({time.monotonic() - began:.0f} s)", flush=True)

    if args.list:
        return 1 if results["stale"] else 0
    run(["cmake", "--build", str(build)], ROOT, log)  # leave the build as the sources are
    judged = results["killed"] + results["survived"]
    rate = 100.0 * results["killed"] / judged if judged else 0.0
    print(f"\nkilled {results['killed']} of {judged} ({rate:.0f} %); "
          f"{results['stale']} stale, {results['unbuilt']} did not build; log: {log}")
    for title in survivors:
        print(f"  survived: {title}")
    return 0 if not results["stale"] and not results["unbuilt"] else 1


if __name__ == "__main__":
    sys.exit(main())
