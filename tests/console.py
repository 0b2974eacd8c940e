#!/usr/bin/env python3
"""Text on a console goes out wide; redirected, it goes out as the bytes it was.

    console.py native NATIVE_BIN
    console.py wine WINDOWS_BIN RUN_DIR

Each program runs with one standard stream on a pseudo-terminal (script(1)),
where the console is, and again with it redirected to a file. sheetwise
names a printer, pinhome a directory, outside ASCII.

Under Wine, GetConsoleMode succeeds on the terminal: a relay trace must show
WriteConsoleW called with the text, the terminal must show the name intact,
and the redirected bytes must be those of the ANSI code page (1252), as
before. Natively the terminal must show the bytes that the redirected run
writes (UTF-8), less the terminal's own line ends.
"""

import os
import shlex
import subprocess
import sys
import tempfile

from run_cases import SKIPPED, WineRun

PRINTER = "Bürodrucker"
DIRECTORY = "Bürö"
# The lines that carry the names, as each program writes them (LF line ends).
SHEETWISE_LINE = f'\nQuerying printer "{PRINTER}"\n'
PINHOME_LINE = f"\n** ERROR **\nCan't find directory {DIRECTORY}\n"
# Wine's console channel traces the text that WriteConsoleW is given.
TRACED = (r'trace:console:WriteConsoleW (', r'L"\nQuerying printer \"B\00fcrodrucker\"\n"')
RELAY_INCLUDE = "kernel32.WriteConsoleW;kernelbase.WriteConsoleW;kernel32.GetConsoleMode;kernelbase.GetConsoleMode"


def on_terminal(argv, env, cwd, stream):
    """Runs the program with standard output (stream 1) or standard error
    (stream 2) on a pseudo-terminal and the other one in a file; returns what
    the terminal showed and the file's bytes."""
    with tempfile.TemporaryDirectory() as tmp:
        other = os.path.join(tmp, "other")
        typescript = os.path.join(tmp, "typescript")
        redirect = f"{'2' if stream == 1 else '1'}>{shlex.quote(other)}"
        subprocess.run(["script", "-qec", f"{shlex.join(argv)} {redirect}", typescript], env=env, cwd=cwd,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
        with open(typescript, "rb") as f:
            shown = f.read()
        with open(other, "rb") as f:
            return shown, f.read()


def redirected(argv, env, cwd):
    """The program's standard output and standard error, both in files."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        subprocess.run(argv, env=env, cwd=cwd, stdin=subprocess.DEVNULL, stdout=out, stderr=err, timeout=120)
        out.seek(0)
        err.seek(0)
        return out.read(), err.read()


class Checks:
    def __init__(self):
        self.failed = 0
        self.passed = 0

    def check(self, what, good, detail=""):
        if good:
            self.passed += 1
            print(f"ok   {what}")
        else:
            self.failed += 1
            print(f"FAIL {what}\n  {detail}")


def plain(shown):
    """What a terminal showed, less script's own lines, the cursor's escape
    sequences and the terminal's CR before each LF."""
    text = shown.split(b"\n", 1)[1].rsplit(b"\nScript done", 1)[0]  # script's header and trailer
    for escape in (b"\x1b[?25l", b"\x1b[?25h"):
        text = text.replace(escape, b"")
    while b"\r\n" in text:
        text = text.replace(b"\r\n", b"\n")
    return text


def native(bindir):
    checks = Checks()
    with tempfile.TemporaryDirectory() as tmp:
        env = dict(os.environ, LANG="C.UTF-8", WINSHIM_REGISTRY=os.path.join(tmp, "registry"), HOME=tmp)
        for var in ("LC_ALL", "TESTPRINTER", "DISPLAY"):
            env.pop(var, None)
        env["WINSHIM_MSGBOX"] = "ok"  # else the box is drawn on the terminal
        for argv, stream, line in (
                ([os.path.join(bindir, "sheetwise"), "--printer=" + PRINTER], 1, SHEETWISE_LINE),
                ([os.path.join(bindir, "pinhome"), "-q", "-d", DIRECTORY], 2, PINHOME_LINE)):
            name = os.path.basename(argv[0])
            shown, _ = on_terminal(argv, env, tmp, stream)
            files = redirected(argv, env, tmp)[stream - 1]
            checks.check(f"{name}: redirected, the name in UTF-8", line.encode() in files, repr(files))
            checks.check(f"{name}: a terminal shows what a file holds", plain(shown) == files,
                         f"{plain(shown)!r}\n  against {files!r}")
    return checks


def wine(bindir, run_dir):
    run = WineRun(run_dir)
    if run.skipped:
        print(f"skipped: {run.skipped}")
        return None
    checks = Checks()
    loader = run.kind.program_loader
    with tempfile.TemporaryDirectory() as tmp:
        env = run.env()
        env["LANG"] = "C.UTF-8"  # a UTF-8 terminal; the ANSI code page is 1252
        for var in ("LC_ALL", "TESTPRINTER", "DISPLAY"):
            env.pop(var, None)
        relay = os.path.join(tmp, "relay.reg")
        with open(relay, "w") as f:
            f.write(f'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Wine\\Debug]\n"RelayInclude"="{RELAY_INCLUDE}"\n')
        # Wine's regedit now and then exits with 1 on a loaded machine: again.
        for attempt in range(3):
            if subprocess.run([loader, "regedit", "/S", "Z:" + relay.replace("/", "\\")], env=env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=120).returncode == 0:
                break
            if attempt == 2:
                raise RuntimeError("regedit could not import the relay settings")
        try:
            sheetwise = [loader, os.path.join(bindir, "sheetwise.exe"), "--printer=" + PRINTER]
            shown, trace = on_terminal(sheetwise, dict(env, WINEDEBUG="+relay,+console"), tmp, 1)
            trace = trace.decode("utf-8", "replace")
            calls = [line for line in trace.splitlines() if "Call KERNEL32.WriteConsoleW(" in line]
            texts = [line for line in trace.splitlines() if line.split(":", 1)[-1].startswith(TRACED[0])]
            named = [line for line in texts if TRACED[1] in line]
            checks.check("sheetwise: on the console, WriteConsoleW is called with the text", calls and named,
                         f"{len(calls)} calls, traced texts: {texts}")
            for line in calls[:1] + named[:1]:
                print(f"     {line}")
            checks.check("sheetwise: the terminal shows the name intact",
                         SHEETWISE_LINE.encode() in plain(shown), repr(shown))
            out, _ = redirected(sheetwise, env, tmp)
            checks.check("sheetwise: redirected, the bytes of the ANSI code page",
                         b'\r\nQuerying printer "B\xfcrodrucker"\r\n' in out, repr(out))

            pinhome = [loader, os.path.join(bindir, "pinhome.exe"), "-q", "-d", DIRECTORY]
            shown, _ = on_terminal(pinhome, dict(env, WINEDEBUG="+relay,+console"), tmp, 2)
            checks.check("pinhome: on the console, WriteConsoleW is called with the text",
                         b"Call KERNEL32.WriteConsoleW(" in shown and rb"directory B\00fcr\00f6" in shown,
                         repr(shown[-2000:]))
            checks.check("pinhome: the terminal shows the directory intact",
                         f"Can't find directory {DIRECTORY}\r\n".encode() in shown.replace(b"\r\r\n", b"\r\n"),
                         repr(shown[-2000:]))
            _, err = redirected(pinhome, env, tmp)
            checks.check("pinhome: redirected, the bytes of the ANSI code page",
                         err.startswith(b"\r\n** ERROR **\r\nCan't find directory B\xfcr\xf6\r\n"), repr(err))
        finally:
            with open(relay, "w") as f:
                f.write('REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Wine\\Debug]\n"RelayInclude"=-\n')
            subprocess.run([loader, "regedit", "/S", "Z:" + relay.replace("/", "\\")], env=env,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
    return checks


def main():
    if sys.argv[1] == "native":
        checks = native(os.path.abspath(sys.argv[2]))
    else:
        checks = wine(os.path.abspath(sys.argv[2]), sys.argv[3])
        if checks is None:
            return SKIPPED
    print(f"{checks.passed} passed, {checks.failed} failed")
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main())
