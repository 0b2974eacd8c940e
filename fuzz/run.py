#!/usr/bin/env python3
"""Runs one libFuzzer target for a while on its seeds and reports.

    run.py --seconds N --work DIR TARGET SEEDS [-- FLAG...]

New inputs go to DIR/corpus/NAME, so the committed seeds stay as they are;
an input that breaks the target is written to DIR/findings/ and the run
fails. The last line is a summary: executions, their rate, coverage and
corpus size.
"""

import argparse
import os
import re
import subprocess
import sys


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=int, default=60)
    parser.add_argument("--work", required=True)
    parser.add_argument("target")
    parser.add_argument("seeds")
    parser.add_argument("flags", nargs="*")
    args = parser.parse_args()
    # The targets work in a scratch directory of their own.
    args.work, args.target, args.seeds = map(os.path.abspath, (args.work, args.target, args.seeds))

    name = os.path.basename(args.target).removeprefix("fuzz_")
    corpus = os.path.join(args.work, "corpus", name)
    findings = os.path.join(args.work, "findings")
    os.makedirs(corpus, exist_ok=True)
    os.makedirs(findings, exist_ok=True)
    command = [
        args.target,
        f"-max_total_time={args.seconds}",
        "-timeout=20",
        "-rss_limit_mb=2048",
        "-print_final_stats=1",
        f"-artifact_prefix={findings}/{name}-",
        *args.flags,
        corpus,
        args.seeds,
    ]
    env = dict(os.environ)
    # The targets rewrite hive files at every execution: in memory, where
    # there is a file system in memory, their syncs cost nothing.
    if "TMPDIR" not in env and os.access("/dev/shm", os.W_OK):
        env["TMPDIR"] = "/dev/shm"
    if "-detect_leaks=0" in args.flags:
        # Nor at the end of the run, when the sanitizer looks once more.
        env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"), "detect_leaks=0"]))
    print(" ".join(command), flush=True)
    run = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                         errors="replace", env=env)
    output = run.stdout
    runs = re.search(r"stat::number_of_executed_units:\s*(\d+)", output)
    rate = re.search(r"stat::average_exec_per_sec:\s*(\d+)", output)
    status = re.findall(r"cov: (\d+) ft: (\d+) corp: (\d+)", output)
    if run.returncode != 0:
        print(output[-20000:])
        print(f"{name}: FAILED with status {run.returncode}; the input is in {findings}")
        return 1
    cov, ft, corp = status[-1] if status else ("?", "?", "?")
    print(f"{name}: {runs.group(1) if runs else '?'} executions in {args.seconds} s "
          f"({rate.group(1) if rate else '?'}/s), coverage {cov} edges, {ft} features, "
          f"corpus {corp} inputs, no findings")
    return 0


if __name__ == "__main__":
    sys.exit(main())
