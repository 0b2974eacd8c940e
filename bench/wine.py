#!/usr/bin/env python3
"""Times the Windows build's hivepeek -r under Wine against its floor, Wine's
own reg query of the same value, the two run in turns in one run. Under
Wine most of either's time is Wine starting a process.

    bench/wine.py [--run wine32|wine64] [--bin DIR] [--runs 15]

The 32-bit programs run in a 32-bit prefix (wine32, the default where the
machine runs 32-bit programs), else the 64-bit build in a 64-bit prefix
(wine64), each with the loader of its width; --bin defaults to that
build's bin directory. The prefix is a fresh one in a temporary directory,
whose Wine server is kept running for the whole benchmark (as for the
tests), so that no run pays for starting it; the server is ended and the
prefix removed at the end.
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
import wine_runs  # noqa: E402
KEY = "HKCU\\Software\\Tessel\\Bench"
NAME = "tessel_dir"
DATA = "C:\\Program Files\\Tessel"


def run(argv, env, check=True):
    proc = subprocess.run(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, timeout=600)
    if check and proc.returncode != 0:
        sys.exit(f"{argv} failed with status {proc.returncode}")
    return proc.stdout


def make_prefix(directory, kind):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env.update(WINEPREFIX=os.path.join(directory, "prefix"), WINEARCH=kind.arch, WINEDEBUG="-all")
    if kind.program_loader == wine_runs.LOADER64:
        env["WINELOADER"] = kind.program_loader  # as Debian's wrapper tells a 64-bit loader
    run([kind.prefix_loader, "wineboot", "-i"], env)
    run(["wineserver", "-w"], env)
    # A server of its own for good: one left to start with the first program
    # would end with each last one.
    subprocess.run(["wineserver", "-p"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60, check=True, start_new_session=True)
    return env


def median_times(commands, env, runs):
    """The median wall time of each command, run in turns, so that load from
    elsewhere falls on all of them alike. Each must write `expect`."""
    times = [[] for _ in commands]
    for _ in range(runs + 1):
        for k, (argv, expect) in enumerate(commands):
            start = time.perf_counter()
            out = run(argv, env)
            elapsed = time.perf_counter() - start
            if expect not in out:
                sys.exit(f"{argv} wrote {out!r}")
            times[k].append(elapsed)
    # The first turn is a warm-up: files into the page cache, the server's
    # first look at the registry.
    return [statistics.median(t[1:]) for t in times]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--run", choices=("wine32", "wine64"),
                        default="wine32" if wine_runs.why_not("wine32") is None else "wine64")
    parser.add_argument("--bin")
    parser.add_argument("--runs", type=int, default=15)
    args = parser.parse_args()
    reason = wine_runs.why_not(args.run)
    if reason:
        sys.exit(f"cannot run {args.run}: {reason}")
    kind = wine_runs.RUNS[args.run]
    preset = "win32" if kind.bits == 32 else "win64"
    hivepeek = os.path.abspath(os.path.join(args.bin or os.path.join(HERE, "..", "build", preset, "bin"),
                                            "hivepeek.exe"))
    if not os.path.isfile(hivepeek):
        sys.exit(f"no {hivepeek}: build the {preset} preset first")
    wine = kind.program_loader
    directory = tempfile.mkdtemp(prefix="wine-bench-")
    env = None
    try:
        env = make_prefix(directory, kind)
        run([wine, "reg", "add", KEY, "/v", NAME, "/t", "REG_SZ", "/d", DATA, "/f"], env)
        expect = DATA.encode()
        tool, floor = median_times([
            ([wine, hivepeek, "-r", KEY + "\\" + NAME], expect),
            ([wine, "reg", "query", KEY, "/v", NAME], expect),
        ], env, args.runs)
    finally:
        if env:
            run(["wineserver", "-k"], env, check=False)
            run(["wineserver", "-w"], env, check=False)
        shutil.rmtree(directory, ignore_errors=True)
    print(f"under Wine ({kind.bits}-bit programs, {kind.arch} prefix): hivepeek.exe -r {tool * 1000:.0f} ms, "
          f"reg query of the same value {floor * 1000:.0f} ms")
    print(f"ratio: {tool / floor:.2f}")


if __name__ == "__main__":
    main()
