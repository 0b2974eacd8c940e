#!/usr/bin/env python3
"""Hives travel between winshim and Windows' regedit unchanged: a hive that
winshim wrote imports with "regedit /S", and what Wine's regedit exports
(version 5, UTF-16) reads back in winshim, value for value and byte for byte.

    interop.py NATIVE_BIN WINDOWS_BIN RUN_DIR

RUN_DIR is a Wine run that run_cases.py --setup made: regedit and regdump
run with the loader of the run's programs, whose view of the registry is
the one that the hives go to. A run that the machine cannot do is skipped.
"""

import os
import shutil
import subprocess
import sys
import tempfile

from run_cases import SKIPPED, WineRun

KEY = "HKCU\\Software\\Tessel\\Interop"
FULL = "HKEY_CURRENT_USER\\Software\\Tessel\\Interop"
VALUES = [
    ("", "sz", "the default"),
    ("path", "sz", 'C:\\Program Files\\Tessel "quoted"'),
    ("count", "dword", "0xfffffffe"),
    ("blob", "3", ",".join(f"{i:02x}" for i in range(100))),
    ("dir", "2", "25,53,79,73,74,65,6d,52,6f,6f,74,25,5c,78,00"),
    ("list", "7", "61,00,62,63,00,00"),
    ("Name with spaces", "sz", "x"),
]


def main():
    native, windows, run_dir = sys.argv[1:4]
    wine = WineRun(run_dir)
    if wine.skipped:
        print(f"skipped: {wine.skipped}")
        return SKIPPED
    loader = wine.kind.program_loader
    work = tempfile.mkdtemp(prefix="interop-")
    store = os.path.join(work, "registry")
    native_env = dict(os.environ, WINSHIM_REGISTRY=store, LANG="C.UTF-8")
    wine_env = wine.env()
    wine_env.pop("DISPLAY", None)
    failed = 0

    def run(argv, env):
        # Output goes to a file: a process of Wine's that the program started
        # (its services) lives on with its handles and would hold a pipe open.
        with tempfile.TemporaryFile() as out:
            subprocess.run(argv, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL,
                           timeout=120)
            out.seek(0)
            return out.read()

    def native_dump():
        return run([os.path.join(native, "regdump"), KEY], native_env).decode()

    def wine_dump():
        return run([loader, os.path.join(windows, "regdump.exe"), KEY], wine_env).decode().replace("\r\n", "\n")

    def regedit(*args):
        run([loader, "regedit"] + list(args), wine_env)

    def check(what, want, got):
        nonlocal failed
        if want == got and want:
            print(f"ok   {what}")
        else:
            failed += 1
            print(f"FAIL {what}\n  expected:\n{want}\n  got:\n{got}")

    try:
        for name, kind, data in VALUES:
            subprocess.run([os.path.join(native, "regset"), KEY, name, kind, data], env=native_env, check=True)
        written = native_dump()
        reset = os.path.join(work, "reset.reg")
        with open(reset, "w") as f:
            f.write(f"REGEDIT4\n\n[-{FULL}]\n")
        regedit("/S", "Z:" + reset.replace("/", "\\"))
        regedit("/S", "Z:" + os.path.join(store, "HKEY_CURRENT_USER.reg").replace("/", "\\"))
        check("a hive that winshim wrote imports with regedit /S", written, wine_dump())

        export = os.path.join(work, "export.reg")
        regedit("/E", "Z:" + export.replace("/", "\\"), FULL)
        shutil.rmtree(store)
        os.makedirs(store)
        shutil.copy(export, os.path.join(store, "HKEY_CURRENT_USER.reg"))
        check("what regedit exports reads back in winshim", written, native_dump())
        regedit("/S", "Z:" + reset.replace("/", "\\"))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"{2 - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
