#!/usr/bin/env python3
"""The Wine runs of the tests, and which of them this machine can do.

    wine32  the 32-bit programs in a 32-bit prefix, as on 32-bit Windows
    wow64   the 32-bit programs in a 64-bit prefix, as on 64-bit Windows
    wine64  the 64-bit build in a 64-bit prefix

A 32-bit program needs Wine's 32-bit loader, an i386 Linux program, and a
kernel that runs those: some run 64-bit user code only. Everything that is
meant as 64-bit (the 64-bit build, a 64-bit prefix's own regedit and
wineboot) goes to the 64-bit loader directly: Debian's `wine` wrapper picks
the 32-bit loader whenever it is installed, even where it cannot run.

TESSEL_WINE_RUNS (a comma-separated list of the names above) limits the runs
to those named, so that the path of a machine without 32-bit programs can be
taken on any machine. Run as a program, this prints each run and whether it
is done here; with --i386-wanted it only says, by its status, whether a run
that is chosen needs 32-bit Wine and this machine can run it, so that the
set-up installs 32-bit Wine only then.
"""

import os
import struct
import subprocess
import sys
import tempfile

LOADER32 = "/usr/lib/wine/wine"
LOADER64 = "/usr/lib/wine/wine64"


class Run:
    def __init__(self, name, arch, bits):
        self.name = name
        self.arch = arch  # the prefix's WINEARCH
        self.bits = bits  # the programs'

    @property
    def program_loader(self):
        """The loader that runs the programs under test, and imports the hives
        that they are to see (into their own view of the registry)."""
        return LOADER32 if self.bits == 32 else LOADER64

    @property
    def prefix_loader(self):
        """The loader of the prefix's own architecture: wineboot, and the
        regedit that clears both views of a 64-bit prefix."""
        return LOADER32 if self.arch == "win32" else LOADER64


RUNS = {run.name: run for run in (Run("wine32", "win32", 32), Run("wow64", "win64", 32), Run("wine64", "win64", 64))}

# The smallest i386 Linux program: one loadable segment whose code is
# exit(42) through int 0x80. No library is involved, so it tells about the
# kernel alone.
_CODE = bytes.fromhex("b801000000" "bb2a000000" "cd80")  # mov eax,1; mov ebx,42; int 0x80
_BASE = 0x08048000
_HEADERS = 52 + 32


def _i386_program():
    size = _HEADERS + len(_CODE)
    elf = (b"\x7fELF\x01\x01\x01" + bytes(9) +
           struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, _BASE + _HEADERS, 52, 0, 0, 52, 32, 1, 0, 0, 0))
    program_header = struct.pack("<IIIIIIII", 1, 0, _BASE, _BASE, size, size, 5, 0x1000)
    return elf + program_header + _CODE


_i386_answer = None


def i386_refused():
    """None where the kernel runs i386 programs, else why not."""
    global _i386_answer
    if _i386_answer is None:
        with tempfile.TemporaryDirectory() as directory:
            path = os.path.join(directory, "probe")
            with open(path, "wb") as f:
                f.write(_i386_program())
            os.chmod(path, 0o755)
            try:
                status = subprocess.run([path], stdin=subprocess.DEVNULL, capture_output=True, timeout=30).returncode
                _i386_answer = "" if status == 42 else f"an i386 program exits with {status} instead of 42"
            except OSError as error:
                _i386_answer = f"the kernel runs no 32-bit programs (i386 execve: {error.strerror})"
            except subprocess.TimeoutExpired:
                _i386_answer = "an i386 program did not end in 30 s"
    return _i386_answer or None


def chosen():
    """The runs that TESSEL_WINE_RUNS names, or None when it is not set."""
    names = os.environ.get("TESSEL_WINE_RUNS")
    if names is None:
        return None
    names = {name.strip() for name in names.split(",") if name.strip()}
    unknown = names - set(RUNS)
    if unknown:
        raise SystemExit(f"TESSEL_WINE_RUNS names {', '.join(sorted(unknown))}; the runs are {', '.join(RUNS)}")
    return names


def why_not(name):
    """None when the run can be done here, else the reason it is skipped."""
    run = RUNS[name]
    names = chosen()
    if names is not None and name not in names:
        return f"not among TESSEL_WINE_RUNS={os.environ['TESSEL_WINE_RUNS']}"
    if not os.access(LOADER64, os.X_OK) and (run.arch == "win64" or run.bits == 64):
        return f"no 64-bit Wine loader {LOADER64}"
    if run.bits == 32 or run.arch == "win32":
        refused = i386_refused()
        if refused:
            return refused
        if not os.access(LOADER32, os.X_OK):
            return f"no 32-bit Wine loader {LOADER32} (package wine32:i386)"
    return None


def main():
    if sys.argv[1:] == ["--i386-wanted"]:
        names = chosen()
        wanted = any(run.bits == 32 for name, run in RUNS.items() if names is None or name in names)
        return 0 if wanted and not i386_refused() else 1
    for name in RUNS:
        reason = why_not(name)
        print(f"{name}: {'runs' if reason is None else 'skipped: ' + reason}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
