#!/usr/bin/env python3
"""hivepeek's one-shot cost, each figure a ratio to its floor, measured side
by side in one run:

- every command on a small store, against a static C program that does
  nothing (the cost of starting a program);
- -r, -e, -v and -k on a 100 MB hive of a million keys once it has been read
  once (so with its index), against the same floor, and their peak memory
  against a hive ten times smaller;
- the first run on the 100 MB hive (reading it whole and making the index),
  against grep -c over the file, its peak memory, and the index's size;
- -k on a key of 522,000 subkeys, against grep -c over its hive, and its
  peak memory against the size of its output, with the index and without.

    bench/hivepeek.py [--bin build/release/bin] [--runs 200]

Needs cc, and GNU time (Debian package "time") for the memory figures.
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


class Bench:
    def __init__(self, work, runs):
        self.runs = runs
        self.timer = os.path.join(work, "spawn_time")
        self.floor = os.path.join(work, "nothing")
        subprocess.run(["cc", "-O2", "-o", self.timer, os.path.join(HERE, "spawn_time.c")], check=True)
        subprocess.run(["cc", "-O2", "-static", "-o", self.floor, os.path.join(HERE, "nothing.c")], check=True)

    def micros(self, argv, env, runs=None):
        out = subprocess.run([self.timer, str(runs or self.runs)] + argv, env=env, stdout=subprocess.PIPE,
                             check=True)
        return float(out.stdout)

    def against_floor(self, argv, env):
        """The median of three rounds, each the program and the floor side by side."""
        ratios, times = [], []
        for _ in range(3):
            floor = self.micros([self.floor], env)
            took = self.micros(argv, env)
            ratios.append(took / floor)
            times.append(took)
        return statistics.median(times), statistics.median(ratios)


def seconds(argv, env, runs=5):
    """Median wall time; output goes to a pipe, as grep stops at its first
    match when it writes to /dev/null."""
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run(argv, env=env, stdout=subprocess.PIPE, check=False)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def peak(argv, env):
    """Peak RSS in KiB as GNU time sees it, and the output's size."""
    with tempfile.NamedTemporaryFile("r") as report:
        out = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name] + argv, env=env,
                             stdout=subprocess.PIPE)
        return int(report.read().split()[-1]), len(out.stdout)


def settle():
    time.sleep(0.05)  # an index is made only of a hive whose last change lies in the past


def store(hive_maker, *args):
    directory = tempfile.mkdtemp(prefix="hivepeek-bench-")
    hive = os.path.join(directory, "HKEY_CURRENT_USER.reg")
    subprocess.run([sys.executable, os.path.join(HERE, hive_maker), hive] + [str(a) for a in args], check=True)
    subprocess.run(["cat", hive], stdout=subprocess.DEVNULL, check=True)  # into the page cache
    settle()
    return directory, hive


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", default=os.path.join(HERE, "..", "build", "release", "bin"))
    parser.add_argument("--runs", type=int, default=200)
    args = parser.parse_args()
    hivepeek = os.path.join(os.path.abspath(args.bin), "hivepeek")
    work = tempfile.mkdtemp(prefix="hivepeek-bench-")
    stores = []
    try:
        bench = Bench(work, args.runs)

        # A small store.
        small = tempfile.mkdtemp(prefix="hivepeek-bench-")
        stores.append(small)
        with open(os.path.join(small, "HKEY_CURRENT_USER.reg"), "w", newline="\r\n") as f:
            f.write("REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Tessel]\n\"name\"=\"abc\"\n\"count\"=dword:2a\n\n"
                    "[HKEY_CURRENT_USER\\Software\\Tessel\\Sub]\n")
        env = dict(os.environ, WINSHIM_REGISTRY=small)
        print(f"a static program that does nothing: {bench.micros([bench.floor], env):.0f} us")
        print("small store        us   x floor")
        for option, path in [("-a", None), ("-k", "HKCU\\Software\\Tessel"), ("-v", "HKCU\\Software\\Tessel"),
                             ("-r", "HKCU\\Software\\Tessel\\name"), ("-e", "HKCU\\Software\\Tessel"),
                             ("-V", None)]:
            took, ratio = bench.against_floor([hivepeek, option] + ([path] if path else []), env)
            print(f"  {option:12} {took:8.0f} {ratio:8.2f}")

        # A large store, and one ten times smaller for the memory figures.
        queries = [("-r", "HKCU\\Software\\Bench\\G{last}\\K0993\\name"), ("-e", "HKCU\\Software\\Bench\\G{last}\\K0999"),
                   ("-v", "HKCU\\Software\\Bench\\G{mid}\\K0007"), ("-k", "HKCU\\Software\\Bench\\G{mid}")]
        peaks = {}
        for groups in (100, 1000):
            directory, hive = store("make_hive.py", groups, 1000)
            stores.append(directory)
            env = dict(os.environ, WINSHIM_REGISTRY=directory)
            argv = lambda option, path: [hivepeek, option, path.format(last=f"{groups - 1:04d}",
                                                                        mid=f"{groups // 2:04d}")]
            if groups == 1000:
                # The first reading, index removed before each: the median of
                # five, then its peak memory, and the index it leaves.
                index = os.path.join(directory, ".HKEY_CURRENT_USER.reg.winshim-index")
                grep = seconds(["grep", "-c", "^\\[", hive], env)
                firsts = []
                for _ in range(5):
                    if os.path.exists(index):
                        os.unlink(index)
                    firsts.append(seconds(argv(*queries[0]), env, runs=1))
                first = statistics.median(firsts)
                if os.path.exists(index):
                    os.unlink(index)
                first_peak = peak(argv(*queries[0]), env)[0]
                size = os.path.getsize(hive)
                index_size = os.path.getsize(index) if os.path.exists(index) else 0
                print(f"\nhive: {size / 1e6:.1f} MB; grep -c '^\\[': {grep * 1000:.0f} ms")
                print(f"first run, reading it whole and making its index: {first * 1000:.0f} ms, "
                      f"{first / grep:.2f} x grep, peak {first_peak} KiB")
                print(f"its index: {index_size / 1e6:.1f} MB, {100 * index_size / size:.1f}% of the hive")
            else:
                seconds(argv(*queries[0]), env, runs=1)
            settle()
            for option, path in queries:
                peaks[(groups, option)] = peak(argv(option, path), env)[0]
            if groups == 1000:
                print("once read           us   x floor  peak KiB  10x smaller  growth")
                for option, path in queries:
                    took, ratio = bench.against_floor(argv(option, path), env)
                    print(f"  {option:12} {took:8.0f} {ratio:8.2f} {peaks[(1000, option)]:9d} "
                          f"{peaks[(100, option)]:12d} {peaks[(1000, option)] / peaks[(100, option)]:7.2f}")
            shutil.rmtree(directory)
            stores.remove(directory)

        # One key of 522,000 subkeys.
        directory, hive = store("make_wide_hive.py", 522000)
        stores.append(directory)
        grep = seconds(["grep", "-c", "^\\[", hive], dict(os.environ))
        wide = [hivepeek, "-k", "HKCU\\Software\\Wide"]
        print(f"\n-k of 522,000 subkeys; grep -c '^\\[' over its hive ({os.path.getsize(hive) / 1e6:.1f} MB): "
              f"{grep * 1000:.0f} ms")
        print("                     ms   x grep  peak KiB  output KiB  x output")
        for title, setting in (("without an index", "off"), ("with its index", None)):
            env = dict(os.environ, WINSHIM_REGISTRY=directory)
            if setting:
                env["WINSHIM_INDEX"] = setting
            else:
                seconds(wide, env, runs=1)  # makes the index
            took = seconds(wide, env)
            top, size = peak(wide, env)
            print(f"  {title:17} {took * 1000:6.0f} {took / grep:8.2f} {top:9d} {size // 1024:11d} "
                  f"{top * 1024 / size:9.2f}")
    finally:
        shutil.rmtree(work)
        for directory in stores:
            shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    main()
