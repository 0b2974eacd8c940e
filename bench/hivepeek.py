#!/usr/bin/env python3
"""hivepeek's one-shot cost, each figure a ratio to its floor, measured side
by side in one run:

- every command on a small store, against a static C program that does
  nothing (the cost of starting a program);
- -r, -e, -v and -k on a 100 MB hive of a million keys once it has been read
  once (so with its index), against the same floor, and their peak memory
  against a hive ten times smaller;
- the first run on hives of about 100 MB (reading one whole and making its
  index), against grep -c over the same file, with its peak memory and the
  index's size: the hive above, one of four values per key in export order,
  the same with ten keys moved out of place, and the same in random order;
- -k on a key of 522,000 subkeys, against grep -c over its hive, and its
  peak memory against the size of its output, with the index and without.

    bench/hivepeek.py [--bin build/release/bin] [--runs 200] [--first-only]

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
    # On the disk too: the kernel writing a new file of 100 MB back while it
    # is read would fall on whichever program runs then.
    fd = os.open(hive, os.O_RDONLY)
    os.fsync(fd)
    os.close(fd)
    settle()
    return directory, hive


# The shapes of the first readings' hives: make_hive.py's arguments.
SHAPES = [
    ("one value a key, in order", []),
    ("four values a key, in order", ["--values", "4"]),
    ("the same, ten keys moved", ["--values", "4", "--moved", "10"]),
    ("the same, in random order", ["--values", "4", "--shuffled"]),
]


def first_readings(hivepeek):
    """The first reading of each shape (reading the hive whole and making its
    index), the index removed before each, and grep -c over the same file,
    in turns: the median of five of each, the peak memory of one more
    reading, and the index it leaves."""
    print(f"{'first reading':30} {'MB':>6} {'grep ms':>8} {'first ms':>9} {'x grep':>7} {'peak KiB':>9} "
          f"{'index MB':>9} {'% of hive':>9}")
    for title, shape in SHAPES:
        directory, hive = store("make_hive.py", 1000, 1000, *shape)
        try:
            env = dict(os.environ, WINSHIM_REGISTRY=directory)
            index = os.path.join(directory, ".HKEY_CURRENT_USER.reg.winshim-index")
            question = [hivepeek, "-r", "HKCU\\Software\\Bench\\G0999\\K0993\\s"]
            greps, firsts = [], []
            for _ in range(5):
                greps.append(seconds(["grep", "-c", "^\\[", hive], env, runs=1))
                if os.path.exists(index):
                    os.unlink(index)
                firsts.append(seconds(question, env, runs=1))
            grep, first = statistics.median(greps), statistics.median(firsts)
            if os.path.exists(index):
                os.unlink(index)
            top = peak(question, env)[0]
            size = os.path.getsize(hive)
            index_size = os.path.getsize(index) if os.path.exists(index) else 0
            print(f"  {title:28} {size / 1e6:6.1f} {grep * 1000:8.0f} {first * 1000:9.0f} {first / grep:7.2f} "
                  f"{top:9d} {index_size / 1e6:9.2f} {100 * index_size / size:9.1f}")
        finally:
            shutil.rmtree(directory, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", default=os.path.join(HERE, "..", "build", "release", "bin"))
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--first-only", action="store_true", help="the first readings alone")
    args = parser.parse_args()
    hivepeek = os.path.join(os.path.abspath(args.bin), "hivepeek")
    work = tempfile.mkdtemp(prefix="hivepeek-bench-")
    stores = []
    try:
        first_readings(hivepeek)
        if args.first_only:
            return
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
            seconds(argv(*queries[0]), env, runs=1)  # makes the index
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
