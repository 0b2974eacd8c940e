#!/usr/bin/env python3
"""The native hivepeek -r over a Wine prefix's own registry, side by side in
one run, in a fresh 64-bit prefix made by wineboot:

- against a static C program that does nothing (the cost of starting a
  program), once system.reg (1.7 MB) has its index in the cache;
- against Wine's own `reg query` of the same value, with the prefix's
  wineserver kept running (warm), as a program under Wine would find it.

    bench/prefix.py [--bin build/release/bin] [--runs 200] [--wine-runs 15]

Needs the 64-bit Wine loader and cc.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
import wine_runs  # noqa: E402
from hivepeek import Bench  # noqa: E402
from wine import make_prefix, median_times, run  # noqa: E402

KEY = "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion"
NAME = "CurrentBuildNumber"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", default=os.path.join(HERE, "..", "build", "release", "bin"))
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--wine-runs", type=int, default=15)
    args = parser.parse_args()
    reason = wine_runs.why_not("wine64")
    if reason:
        sys.exit(f"cannot make a 64-bit prefix: {reason}")
    hivepeek = os.path.join(os.path.abspath(args.bin), "hivepeek")
    work = tempfile.mkdtemp(prefix="prefix-bench-")
    env = None
    try:
        bench = Bench(work, args.runs)
        env = make_prefix(work, wine_runs.RUNS["wine64"])
        native = dict(env, WINSHIM_VIEW="64", XDG_CACHE_HOME=os.path.join(work, "cache"))
        native.pop("WINSHIM_REGISTRY", None)
        question = [hivepeek, "-r", KEY + "\\" + NAME]
        answer = subprocess.run(question, env=native, stdout=subprocess.PIPE, check=True).stdout
        if not answer.startswith(b"REG_SZ\t"):
            sys.exit(f"hivepeek answered {answer!r}")
        data = answer.split(b"\t", 1)[1].split(b"\n", 1)[0]
        index = [name for _, _, names in os.walk(native["XDG_CACHE_HOME"]) for name in names]
        if not index:
            sys.exit("system.reg got no index in the cache")

        took, ratio = bench.against_floor(question, native)
        floor_us = took / ratio
        # Both timed alike, from Python, in turns (Wine passes over the two
        # settings of winshim's).
        tool, wine = median_times([(question, data),
                                   ([wine_runs.LOADER64, "reg", "query", KEY, "/v", NAME], data)],
                                  native, args.wine_runs)
    finally:
        if env:
            run(["wineserver", "-k"], env, check=False)
            run(["wineserver", "-w"], env, check=False)
        shutil.rmtree(work, ignore_errors=True)
    print(f"a Wine prefix's system.reg, indexed: hivepeek -r {took:.0f} us, "
          f"a static program that does nothing {floor_us:.0f} us, ratio {ratio:.2f}")
    print(f"the same value by Wine's reg query, wineserver warm: {wine * 1000:.0f} ms; "
          f"hivepeek -r {tool * 1000:.1f} ms, ratio {tool / wine:.3f} (1/{wine / tool:.0f})")


if __name__ == "__main__":
    main()
