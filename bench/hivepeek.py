#!/usr/bin/env python3
"""Times hivepeek's commands on a large hive against grep over the same file,
and compares their peak memory on a hive ten times smaller.

    bench/hivepeek.py [--bin build/release/bin] [--runs 5]

Needs GNU time (Debian package "time") for the memory figures.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))

COMMANDS = [
    ("-r", "HKCU\\Software\\Bench\\G{last}\\K0995\\name"),
    ("-e", "HKCU\\Software\\Bench\\G{last}\\K0999"),
    ("-k", "HKCU\\Software\\Bench\\G{mid}"),
    ("-v", "HKCU\\Software\\Bench\\G{mid}\\K0007"),
]


def measure(argv, env, runs):
    """Median wall time in seconds, and the peak RSS in KiB as GNU time sees it
    (a child of this script would inherit the script's own high-water mark).
    Output goes to a pipe: grep stops at the first match when it writes to
    /dev/null."""
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        proc = subprocess.run(argv, env=env, stdout=subprocess.PIPE)
        times.append(time.perf_counter() - start)
        if proc.returncode not in (0, 1):
            sys.exit(f"{argv} failed")
    with tempfile.NamedTemporaryFile("r") as report:
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name] + argv, env=env, stdout=subprocess.PIPE)
        peak = int(report.read().split()[-1])
    return statistics.median(times), peak


def bench_hive(bindir, groups, runs):
    store = tempfile.mkdtemp(prefix="hivepeek-bench-")
    hive = os.path.join(store, "HKEY_CURRENT_USER.reg")
    subprocess.run([sys.executable, os.path.join(HERE, "make_hive.py"), hive, str(groups), "1000"], check=True)
    env = dict(os.environ, WINSHIM_REGISTRY=store)
    size = os.path.getsize(hive)
    subprocess.run(["cat", hive], stdout=subprocess.DEVNULL, check=True)  # into the page cache
    grep_time, grep_peak = measure(["grep", "-c", "^\\[", hive], env, runs)
    rows = []
    for option, path in COMMANDS:
        path = path.format(last=f"{groups - 1:04d}", mid=f"{groups // 2:04d}")
        seconds, peak = measure([os.path.join(bindir, "hivepeek"), option, path], env, runs)
        rows.append((option, seconds, peak))
    os.remove(hive)
    os.rmdir(store)
    return size, grep_time, grep_peak, rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", default=os.path.join(HERE, "..", "build", "release", "bin"))
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    small = bench_hive(args.bin, 100, args.runs)
    large = bench_hive(args.bin, 1000, args.runs)
    print(f"hive: {large[0] / 1e6:.1f} MB ({small[0] / 1e6:.1f} MB for the memory comparison)")
    print(f"grep -c '^\\[': {large[1] * 1000:.0f} ms")
    print(f"{'command':8} {'ms':>7} {'x grep':>7} {'peak KiB':>9} {'small KiB':>9} {'growth':>7}")
    for (option, seconds, peak), (_, _, small_peak) in zip(large[3], small[3]):
        print(f"{'-' + option[1:]:8} {seconds * 1000:7.0f} {seconds / large[1]:7.2f} {peak:9d} {small_peak:9d} "
              f"{peak / small_peak:7.2f}")


if __name__ == "__main__":
    main()
