#!/usr/bin/env python3
"""sheetwise's printers from CUPS: `sheetwise --paper` against `lpstat -d`,
both asking a CUPS server of the benchmark's own (local socket) for the
default printer, run in turns. Then what sheetwise pays at start now that it
links the C library shared (it loads libcups when it opens a printer):
`sheetwise --version` against a program that does nothing, linked statically
and shared, and the print server's forms listing, which asks CUPS nothing.

    bench/cups.py [--bin build/release/bin] [--runs 30]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
from run_cases import Cups, end_process  # noqa: E402


def median_times(commands, env, runs):
    """The median wall time of each command, in milliseconds, the commands
    run in turns so that load from elsewhere falls on all of them alike."""
    times = [[] for _ in commands]
    for _ in range(runs):
        for k, argv in enumerate(commands):
            start = time.perf_counter()
            proc = subprocess.run(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            times[k].append(time.perf_counter() - start)
            if proc.returncode != 0:
                sys.exit(f"{argv} failed: {proc.stderr.decode(errors='replace')}")
    return [statistics.median(t) * 1000 for t in times]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", default=os.path.join(HERE, "..", "build", "release", "bin"))
    parser.add_argument("--runs", type=int, default=30)
    args = parser.parse_args()
    sheetwise = os.path.join(os.path.abspath(args.bin), "sheetwise")
    work = tempfile.mkdtemp(prefix="cups-bench-")
    cups, pid = Cups.start()
    try:
        cups.set_printers([("Office", "A4", True), ("Letters", "Letter", False)])
        for kind in ("static", "shared"):
            subprocess.run(["cc", "-O2", "-o", os.path.join(work, kind)] + (["-static"] if kind == "static" else []) +
                           [os.path.join(HERE, "nothing.c")], check=True)
        env = {k: v for k, v in os.environ.items() if not k.startswith("WINSHIM_") and k not in ("LPDEST", "PRINTER")}
        env.update(CUPS_SERVER=cups.socket, HOME=work, WINSHIM_REGISTRY=os.path.join(work, "registry"),
                   LANG="C.UTF-8")
        out = subprocess.run([sheetwise, "--paper"], env=env, capture_output=True, text=True).stdout
        if out != "Default printer: Office\nDefault paper type: (a4)\n":
            sys.exit(f"sheetwise --paper answered {out!r}")
        paper, lpstat = median_times([[sheetwise, "--paper"], ["lpstat", "-d"]], env, args.runs)
        start, static, shared, listing = median_times(
            [[sheetwise, "--version"], [os.path.join(work, "static")], [os.path.join(work, "shared")], [sheetwise]],
            env, args.runs)
    finally:
        end_process(pid, cups.directory)
        shutil.rmtree(cups.directory, ignore_errors=True)
        shutil.rmtree(work)
    print(f"sheetwise --paper: {paper:.1f} ms, lpstat -d: {lpstat:.1f} ms, ratio {paper / lpstat:.2f}")
    print(f"sheetwise --version: {start:.2f} ms; a program that does nothing: {static:.2f} ms static, "
          f"{shared:.2f} ms shared; ratio to the shared one {start / shared:.2f}")
    print(f"sheetwise listing the print server's forms: {listing:.2f} ms")


if __name__ == "__main__":
    main()
