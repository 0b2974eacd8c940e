#!/usr/bin/env python3
"""Times writes into a large hive against copying the same file with fsync
(the floor for any atomic rewrite), and compares their peak memory with the
same writes into a hive ten times smaller.

    bench/hive_write.py [--bin build/release/bin] [--runs 5]

Each write is one process: sheetwise adding a form (one transaction), and
regset storing a value (it makes or opens the key, then writes; a new key is
two writes). Needs GNU time
(Debian package "time") for the memory figures.
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


def timed(argv, env):
    start = time.perf_counter()
    proc = subprocess.run(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if proc.returncode != 0:
        sys.exit(f"{argv} failed: {proc.stderr.decode()}")
    return time.perf_counter() - start


def peak(argv, env):
    with tempfile.NamedTemporaryFile("r") as report:
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name] + argv, env=env, stdout=subprocess.PIPE,
                       check=True)
        return int(report.read().split()[-1])


def writes(bindir, groups):
    """The commands measured, each changing the hive a little more."""
    mid = f"G{groups // 2:04d}"
    return [
        ("form added", lambda i: [os.path.join(bindir, "sheetwise"), "--noforms", f"--add=Bench {i}:U:10:20"]),
        ("value changed", lambda i: [os.path.join(bindir, "regset"), f"HKLM\\Software\\Bench\\{mid}\\K0007", "name",
                                     "sz", f"changed {i}"]),
        ("value added", lambda i: [os.path.join(bindir, "regset"), f"HKLM\\Software\\Bench\\{mid}\\K0008", f"new{i}",
                                   "dword", str(i)]),
        # Two writes: the key is made, then its value set.
        ("key added (2)", lambda i: [os.path.join(bindir, "regset"), f"HKLM\\Software\\New{i}", "v", "sz", "x"]),
    ]


def bench(bindir, groups, runs, floor_program):
    store = tempfile.mkdtemp(prefix="hive-write-bench-")
    try:
        hive = os.path.join(store, "HKEY_LOCAL_MACHINE.reg")
        made = os.path.join(store, "made.reg")
        subprocess.run([sys.executable, os.path.join(HERE, "make_hive.py"), made, str(groups), "1000"], check=True)
        with open(made, encoding="utf-8", newline="") as f, open(hive, "w", encoding="utf-8", newline="") as out:
            for line in f:
                out.write(line.replace("HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE"))
        os.remove(made)
        env = dict(os.environ, WINSHIM_REGISTRY=store, LANG="C.UTF-8")
        size = os.path.getsize(hive)
        floor, rows = [], []
        copy = [floor_program, hive, os.path.join(store, "copy.tmp"), os.path.join(store, "copy.reg")]
        for name, command in writes(bindir, groups):
            times = []
            for i in range(runs):
                subprocess.run(["cat", hive], stdout=subprocess.DEVNULL, check=True)  # both from the page cache
                floor.append(timed(copy, env))
                times.append(timed(command(f"{name[0]}{i}"), env))
            rows.append((name, statistics.median(times), peak(command(f"{name[0]}peak"), env)))
        return size, statistics.median(floor), peak(copy, env), rows
    finally:
        shutil.rmtree(store)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", default=os.path.join(HERE, "..", "build", "release", "bin"))
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="hive-write-floor-")
    try:
        floor_program = os.path.join(work, "copy_fsync")
        subprocess.run(["cc", "-O2", "-o", floor_program, os.path.join(HERE, "copy_fsync.c")], check=True)
        small = bench(args.bin, 100, args.runs, floor_program)
        large = bench(args.bin, 1000, args.runs, floor_program)
    finally:
        shutil.rmtree(work)
    print(f"hive: {large[0] / 1e6:.1f} MB ({small[0] / 1e6:.1f} MB for the memory comparison)")
    print(f"copy with fsync and rename: {large[1] * 1000:.0f} ms, peak {large[2]} KiB")
    print(f"{'write':14} {'ms':>6} {'x copy':>7} {'peak KiB':>9} {'small KiB':>9}")
    for (name, seconds, top), (_, _, small_top) in zip(large[3], small[3]):
        print(f"{name:14} {seconds * 1000:6.0f} {seconds / large[1]:7.2f} {top:9d} {small_top:9d}")


if __name__ == "__main__":
    main()
