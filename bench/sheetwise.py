#!/usr/bin/env python3
"""Times sheetwise listing 10,000 user forms with points and inches against a
program that writes as many lines of the same shapes with printf alone.

    bench/sheetwise.py [--bin build/release/bin] [--forms 10000] [--runs 5]
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


def median_times(commands, env, runs):
    """The median wall time and the line count of each command, the commands
    run in turns, so that load from elsewhere falls on all of them alike."""
    times = [[] for _ in commands]
    lines = [0 for _ in commands]
    for _ in range(runs):
        for k, argv in enumerate(commands):
            start = time.perf_counter()
            proc = subprocess.run(argv, env=env, stdout=subprocess.PIPE)
            times[k].append(time.perf_counter() - start)
            if proc.returncode != 0:
                sys.exit(f"{argv} failed")
            lines[k] = proc.stdout.count(b"\n")
    return [(statistics.median(t), n) for t, n in zip(times, lines)]


def forms_hive(path, count):
    with open(path, "w", newline="\r\n") as out:
        out.write("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Forms]\n")
        for i in range(count):
            fields = [i + 1, 297000, 0, 0, i + 1, 297000, 117 + i, 0]
            data = b"".join(f.to_bytes(4, "little") for f in fields)
            out.write(f'"Form {i:05d}"=hex:' + ",".join(f"{b:02x}" for b in data) + "\n")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", default=os.path.join(HERE, "..", "build", "release", "bin"))
    parser.add_argument("--forms", type=int, default=10000)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    store = tempfile.mkdtemp(prefix="sheetwise-bench-")
    try:
        forms_hive(os.path.join(store, "HKEY_LOCAL_MACHINE.reg"), args.forms)
        baseline = os.path.join(store, "printf_lines")
        subprocess.run(["cc", "-O2", "-o", baseline, os.path.join(HERE, "printf_lines.c")], check=True)
        env = dict(os.environ, WINSHIM_REGISTRY=store, LANG="C.UTF-8")
        (tool, tool_lines), (base, base_lines) = median_times(
            [[os.path.join(args.bin, "sheetwise"), "--points", "--inches"], [baseline, str(args.forms + 116)]],
            env, args.runs)
    finally:
        shutil.rmtree(store)
    print(f"sheetwise --points --inches, {args.forms} user forms: {tool * 1000:.0f} ms for {tool_lines} lines")
    print(f"printf alone: {base * 1000:.0f} ms for {base_lines} lines")
    print(f"ratio: {tool / base:.2f}")


if __name__ == "__main__":
    main()
