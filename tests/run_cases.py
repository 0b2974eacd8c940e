#!/usr/bin/env python3
"""Runs end-to-end case files against the native build or, under Wine, the
Windows build.

A case file is a transcript of related runs:

    # what the file shows (comment lines at the top)
    --- hive HKEY_CURRENT_USER [read-only]
    REGEDIT4
    ...
    --- file some/dir/tessel.exe
    (contents)
    --- case: a string value
    native only: why this case needs winshim
    $ NAME=VALUE hivepeek -r 'HKCU\\Software\\Tessel\\name'
    REG_SZ	abc
    ;;CMNT -end-mark-

The hive and file blocks set up the state in which every case starts afresh.
A command line is split as a POSIX shell would; NAME=VALUE words in front set
environment variables, and ARGV0=... sets the program's argv[0] (natively).
The lines after a command are its expected output: plain lines are standard
output, "! " lines standard error, a "~ " or "!~ " prefix makes the line a
regular expression, "\\ no newline" says the line above has no line feed, and
"[N]" gives an exit status other than 0. Every newline is CRLF under Wine.

"box: {json}" lines are the message boxes that the command shows, as
winshim logs them (checked natively). WINSHIM_MSGBOX=ok,cancel,... answers
them: natively through winshim, under Wine on an Xvfb display where xdotool
presses Return or Escape in each box, and the first box's screenshot is kept
in the artefacts directory. Without answers there is no terminal natively and
no display under Wine, so boxes fail at once on both.

Commands run in the case's scratch directory. A program named as
"pinhome@Tessel/bin" runs from a copy of it put into that directory below it.

A line "..." alone stands for any number of lines, for the middle of a long
listing. Output is read as UTF-8 natively and, under Wine, in the ANSI code
page of its default locale (1252), the narrow text of each platform.

Placeholders in commands and expectations: {native=A|wine=B} is A natively
and B under Wine, for what the platforms say differently (the system's
message texts, the sizes of the spooler's records); {tmp} the case's scratch directory
as the program names it (under Wine its Z: path), {wtmp} the same with
backslashes, {exe} ".exe" under Wine and "" natively, {argv0} the argv[0] that
the program sees, {cr} a carriage return.
"""

import argparse
import atexit
import difflib
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
import zlib

TOOLS = ("hivepeek", "sheetwise", "pinhome", "regdump", "regset")
TIMEOUT = 60
BOX_TITLE = r"^Setup dovlink\[w\] for Tessel - pinhome V0\.91$"

# Keys that tests write to and that every Wine case starts without.
WINE_SCRATCH_KEYS = (
    "HKEY_CURRENT_USER\\Software\\Halden",
    "HKEY_LOCAL_MACHINE\\Software\\Halden",
    "HKEY_CURRENT_USER\\Software\\Tessel",
    "HKEY_LOCAL_MACHINE\\Software\\Tessel",
)


# Keys of Wine's own that a fixture may add to but that are never removed.
WINE_KEYS = ("software", "system", "control panel", "environment", "console", "keyboard layout", "hardware",
             "sam", "security", "network", "printers")


def scratch_key(path):
    """The key that a fixture's section brings into Wine's registry and that the
    next case must start without: a subkey of Software, or a key of its own
    at the top of a root; none for Wine's own keys."""
    parts = path.split("\\")
    if len(parts) < 2:
        return None
    if parts[1].lower() == "software":
        return "\\".join(parts[:3]) if len(parts) > 2 else None
    return None if parts[1].lower() in WINE_KEYS else "\\".join(parts[:2])


class CaseFileError(Exception):
    pass


class Command:
    def __init__(self, line, lineno):
        self.line = line
        self.lineno = lineno
        self.expect = []  # (stream, kind, text, newline): stream 1/2, kind "=" or "~"
        self.status = 0
        self.boxes = []


class Case:
    def __init__(self, title, lineno):
        self.title = title
        self.lineno = lineno
        self.only = None  # "native" or "wine"
        self.commands = []


class CaseFile:
    def __init__(self, path):
        self.path = path
        self.hives = []  # (root, text, read_only)
        self.files = []  # (relative path, text)
        self.cases = []
        self._parse()

    def _parse(self):
        with open(self.path, encoding="utf-8") as f:
            lines = f.read().split("\n")
        if lines and lines[-1] == "":
            lines.pop()
        block = None  # ("hive", root, ro, lines) / ("file", path, lines)
        case = None
        for number, line in enumerate(lines, 1):
            if line.startswith("--- "):
                self._close(block)
                block = None
                head = line[4:]
                if head.startswith("case:"):
                    case = Case(head[5:].strip(), number)
                    self.cases.append(case)
                elif case is not None:
                    raise CaseFileError(f"{self.path}:{number}: set-up blocks come before the first case")
                elif head.startswith("hive "):
                    words = head.split()
                    block = ["hive", words[1], "read-only" in words[2:], []]
                elif head.startswith("file "):
                    block = ["file", head[5:].strip(), []]
                else:
                    raise CaseFileError(f"{self.path}:{number}: unknown block {line!r}")
                continue
            if block is not None:
                block[-1].append(line)
            elif case is None:
                if line and not line.startswith("#"):
                    raise CaseFileError(f"{self.path}:{number}: text before the first block")
            else:
                self._case_line(case, line, number)
        self._close(block)
        for case in self.cases:
            if not case.commands:
                raise CaseFileError(f"{self.path}:{case.lineno}: case without a command")

    def _close(self, block):
        if block is None:
            return
        text = "\n".join(block[-1]) + "\n"
        if block[0] == "hive":
            self.hives.append((block[1], text, block[2]))
        else:
            self.files.append((block[1], text))

    def _case_line(self, case, line, number):
        if not case.commands:
            if line.startswith("native only:"):
                case.only = "native"
                return
            if line.startswith("wine only:"):
                case.only = "wine"
                return
            if not line.startswith("$ "):
                raise CaseFileError(f"{self.path}:{number}: expected a command")
        if line.startswith("$ "):
            case.commands.append(Command(line[2:], number))
            return
        command = case.commands[-1]
        if re.fullmatch(r"\[\d+\]", line):
            command.status = int(line[1:-1])
        elif line == "\\ no newline":
            if not command.expect:
                raise CaseFileError(f"{self.path}:{number}: no line to take the newline from")
            command.expect[-1] = command.expect[-1][:3] + (False,)
        elif line.startswith("box: "):
            command.boxes.append(json.loads(line[5:]))
        elif line.startswith("!~ "):
            command.expect.append((2, "~", line[3:], True))
        elif line == "...":
            command.expect.append((1, "...", line, True))
        elif line.startswith("! ") or line == "!":
            command.expect.append((2, "=", line[2:], True))
        elif line.startswith("~ "):
            command.expect.append((1, "~", line[2:], True))
        else:
            command.expect.append((1, "=", line, True))


class Platform:
    """Where the programs run: natively against winshim, or under Wine."""

    def __init__(self, target, bindir, prefix):
        self.target = target
        self.bindir = os.path.abspath(bindir)
        self.prefix = prefix

    def windows_path(self, path):
        return "Z:" + path.replace("/", "\\") if self.target == "wine" else path

    def program(self, tool):
        name = tool + (".exe" if self.target == "wine" else "")
        return os.path.join(self.bindir, name)

    def placed_program(self, word, tmp):
        """The program a command names, copied where "tool@dir" asks."""
        tool, _, where = word.partition("@")
        if tool not in TOOLS:
            return tool, None
        program = self.program(tool)
        if where:
            target = os.path.join(tmp, where)
            os.makedirs(target, exist_ok=True)
            copy = os.path.join(target, os.path.basename(program))
            shutil.copy2(program, copy)
            program = copy
        return tool, program

    def base_env(self, tmp):
        env = {k: v for k, v in os.environ.items()
               if not k.startswith("WINSHIM_") and k not in
               ("POSIXLY_CORRECT", "POSIXLY_INCORRECT_GETOPT", "TESTPRINTER", "DISPLAY")}
        env["CASE_DIR"] = tmp  # where the commands run
        if self.target == "native":
            env["HOME"] = tmp
            env["WINSHIM_REGISTRY"] = os.path.join(tmp, "registry")
            env["LANG"] = "C.UTF-8"
            env.pop("LC_ALL", None)
        else:
            env["WINEPREFIX"] = self.prefix
            env["WINEDEBUG"] = "-all"
            env["LANG"] = "C.UTF-8"  # Wine's ANSI code page is 1252 then
            env.pop("LC_ALL", None)
        return env

    def prepare(self, casefile, tmp):
        for rel, text in casefile.files:
            path = os.path.join(tmp, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
        if self.target == "native":
            registry = os.path.join(tmp, "registry")
            os.makedirs(registry)
            for root, text, read_only in casefile.hives:
                path = os.path.join(registry, root + ".reg")
                with open(path, "w", encoding="utf-8", newline="") as f:
                    f.write(text)
                if read_only:
                    os.chmod(path, 0o444)
            return
        # Wine keeps one registry for the whole run: take away what the last
        # case may have left, then import this file's hives.
        keys = set(WINE_SCRATCH_KEYS)
        for _, text, _ in casefile.hives:
            for match in re.finditer(r"^\[([^\]\r\n]+)\]", text, re.M):
                key = scratch_key(match.group(1))
                if key:
                    keys.add(key)
        reset = "REGEDIT4\n\n" + "".join(f"[-{k}]\n\n" for k in sorted(keys) if "\\" in k)
        self.regedit(tmp, "reset.reg", reset)
        for index, (_, text, _) in enumerate(casefile.hives):
            self.regedit(tmp, f"hive{index}.reg", text)

    def regedit(self, tmp, name, text):
        path = os.path.join(tmp, name)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        subprocess.run(["wine", "regedit", "/S", self.windows_path(path)], env=self.base_env(tmp),
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=TIMEOUT, check=True)

    def run(self, program, tool, args, env, argv0, answers, artefact):
        if self.target == "wine":
            argv = ["wine", program] + args
            executable = None
        else:
            argv = [argv0 or tool] + args
            executable = program
        if self.target == "wine" and answers is not None:
            return self.run_on_display(argv, env, answers, artefact)
        proc = subprocess.run(argv, executable=executable, env=env, cwd=env["CASE_DIR"], stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=TIMEOUT,
                              start_new_session=True)
        return proc.returncode, proc.stdout, proc.stderr

    def run_on_display(self, argv, env, answers, artefact):
        """Runs under Wine on a virtual display, answering each box with a key."""
        env = dict(env, DISPLAY=Display.get())
        env.pop("WINSHIM_MSGBOX", None)
        # Wine's desktop process keeps the display (or the lack of one) that
        # its server started with: a fresh server before and after.
        self.restart_server(env)
        try:
            return self.answer_boxes(argv, env, answers, artefact)
        finally:
            self.restart_server(env)

    @staticmethod
    def restart_server(env):
        subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL, timeout=TIMEOUT)
        subprocess.run(["wineserver", "-w"], env=env, stderr=subprocess.DEVNULL, timeout=TIMEOUT)

    def answer_boxes(self, argv, env, answers, artefact):
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.Popen(argv, env=env, cwd=env["CASE_DIR"], stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=err)
            try:
                done = set()
                for index, answer in enumerate(answers):
                    window = Display.wait_window(env, done, proc)
                    if window is None:
                        break
                    done.add(window)
                    if index == 0 and artefact:
                        Display.screenshot(env, artefact)
                    Display.press(env, window, "Return" if answer == "ok" else "Escape", proc)
                status = proc.wait(timeout=TIMEOUT)
            finally:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()
            out.seek(0)
            err.seek(0)
            return status, out.read(), err.read()


class Display:
    """One Xvfb server for the run, started when a case first needs it."""

    name = None

    @classmethod
    def get(cls):
        if cls.name:
            return cls.name
        for number in range(90, 200):
            if not os.path.exists(f"/tmp/.X{number}-lock"):
                break
        server = subprocess.Popen(["Xvfb", f":{number}", "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        atexit.register(server.kill)
        cls.name = f":{number}"
        for _ in range(100):
            if subprocess.run(["xdotool", "getdisplaygeometry"], env=dict(os.environ, DISPLAY=cls.name),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0:
                return cls.name
            time.sleep(0.1)
        raise RuntimeError("Xvfb did not start")

    @staticmethod
    def wait_window(env, done, proc):
        """The first visible window titled as the tools' boxes are, not yet answered."""
        deadline = time.time() + TIMEOUT
        while time.time() < deadline and proc.poll() is None:
            fresh = [w for w in Display.visible(env) if w not in done]
            if fresh:
                time.sleep(0.3)  # let the box finish drawing
                return fresh[0]
            time.sleep(0.1)
        return None

    @staticmethod
    def visible(env):
        return subprocess.run(["xdotool", "search", "--onlyvisible", "--name", BOX_TITLE], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout.split()

    @classmethod
    def press(cls, env, window, key, proc):
        """Presses the key in the box until the box is gone (a key sent while
        the box is still coming up can be lost)."""
        for _ in range(5):
            subprocess.run(["xdotool", "key", "--window", window, key], env=env, timeout=TIMEOUT,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            for _ in range(30):
                if proc.poll() is not None or window not in cls.visible(env):
                    return
                time.sleep(0.1)

    @staticmethod
    def screenshot(env, path):
        dump = subprocess.run(["xwd", "-root", "-silent"], env=env, stdout=subprocess.PIPE, timeout=TIMEOUT).stdout
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(png_from_xwd(dump))


def png_from_xwd(dump):
    """An X window dump of a true-colour screen as a PNG file."""
    fields = [int.from_bytes(dump[i:i + 4], "big") for i in range(0, 100, 4)]
    header_size, width, height, byte_order = fields[0], fields[4], fields[5], fields[7]
    bytes_per_line, masks, ncolors = fields[12], fields[14:17], fields[20]
    step = bytes_per_line // width
    shifts = [(mask & -mask).bit_length() - 1 for mask in masks]
    pixels = dump[header_size + 12 * ncolors:]
    rows = bytearray()
    for y in range(height):
        rows.append(0)
        line = pixels[y * bytes_per_line:(y + 1) * bytes_per_line]
        for x in range(0, step * width, step):
            value = int.from_bytes(line[x:x + step], "little" if byte_order == 0 else "big")
            rows += bytes((value & mask) >> shift for mask, shift in zip(masks, shifts))

    def chunk(kind, data):
        return (len(data).to_bytes(4, "big") + kind + data +
                zlib.crc32(kind + data).to_bytes(4, "big"))
    header = width.to_bytes(4, "big") + height.to_bytes(4, "big") + bytes((8, 2, 0, 0, 0))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(rows))) +
            chunk(b"IEND", b""))


def substitute(text, values):
    text = re.sub(r"\{native=([^|{}]*)\|wine=([^|{}]*)\}",
                  lambda m: m.group(2) if values["exe"] else m.group(1), text)
    return re.sub(r"\{(tmp|wtmp|exe|argv0|cr)\}", lambda m: values[m.group(1)], text)


def lines_match(actual, expected):
    """Matches lines against expectations, where "..." takes any run of lines
    (as "*" in a file name pattern: back to the last "..." on a mismatch)."""
    def same(line, expectation):
        (text, newline), (_, kind, want, want_newline) = line, expectation
        found = re.fullmatch(want, text) is not None if kind == "~" else text == want
        return found and newline == want_newline

    i = j = 0
    star, mark = -1, 0
    while i < len(actual):
        if j < len(expected) and expected[j][1] == "...":
            star, mark = j, i
            j += 1
        elif j < len(expected) and same(actual[i], expected[j]):
            i += 1
            j += 1
        elif star >= 0:
            mark += 1
            i, j = mark, star + 1
        else:
            return False
    while j < len(expected) and expected[j][1] == "...":
        j += 1
    return j == len(expected)


def check_stream(actual, expected, crlf):
    """Compares one stream with its expected lines; returns a list of problems."""
    text = actual.decode("cp1252" if crlf else "utf-8", errors="backslashreplace")
    lines = text.split("\n")
    last_newline = lines[-1] == ""
    if last_newline:
        lines.pop()
    problems = []
    shown = []
    for i, line in enumerate(lines):
        ends_line = i < len(lines) - 1 or last_newline
        if crlf and ends_line:
            if line.endswith("\r"):
                line = line[:-1]
            else:
                problems.append(f"line {i + 1} ends without CR")
        shown.append((line, ends_line))
    if not lines_match(shown, expected):
        want_lines = [("~ " if kind == "~" else "") + want + ("" if nl or kind == "..." else " \\ no newline")
                      for _, kind, want, nl in expected]
        got_lines = [line + ("" if nl else " \\ no newline") for line, nl in shown]
        diff = difflib.unified_diff(want_lines, got_lines, "expected", "actual", lineterm="")
        problems.append("\n".join(diff))
    return problems


def run_case(platform, casefile, case, artefacts):
    tmp = tempfile.mkdtemp(prefix="case-")
    try:
        platform.prepare(casefile, tmp)
        wine = platform.target == "wine"
        values = {"tmp": platform.windows_path(tmp), "wtmp": platform.windows_path(tmp).replace("/", "\\"),
                  "exe": ".exe" if wine else "", "cr": "\r"}
        problems = []
        for number, command in enumerate(case.commands, 1):
            env = platform.base_env(tmp)
            words = shlex.split(substitute(command.line, values))
            argv0 = None
            while words and re.match(r"^[A-Za-z_][A-Za-z0-9_]*=", words[0]):
                name, value = words.pop(0).split("=", 1)
                if name == "ARGV0":
                    argv0 = value
                else:
                    env[name] = value
            tool, program = platform.placed_program(words[0], tmp) if words else (None, None)
            if program is None:
                raise CaseFileError(f"{casefile.path}:{command.lineno}: unknown program")
            values["argv0"] = platform.windows_path(program) if wine else argv0 or tool
            log = os.path.join(tmp, f"boxes-{number}.log")
            if not wine:
                env["WINSHIM_MSGBOX_LOG"] = log
            answers = env["WINSHIM_MSGBOX"].split(",") if "WINSHIM_MSGBOX" in env else None
            artefact = None
            if artefacts and answers:
                slug = re.sub(r"[^A-Za-z0-9]+", "-", f"{os.path.basename(casefile.path)}-{case.title}").strip("-")
                artefact = os.path.join(artefacts, f"{slug}-{number}.png")
            status, out, err = platform.run(program, tool, words[1:], env, argv0, answers, artefact)
            expected = [(s, k, substitute(t, values), n) for s, k, t, n in command.expect]
            found = []
            if status != command.status:
                found.append(f"exit status {status}, expected {command.status}")
            found += ["stdout: " + p for p in check_stream(out, [e for e in expected if e[0] == 1], wine)]
            found += ["stderr: " + p for p in check_stream(err, [e for e in expected if e[0] == 2], wine)]
            if not wine:
                shown = []
                if os.path.exists(log):
                    with open(log, encoding="utf-8") as f:
                        shown = [json.loads(line) for line in f]
                want = [{k: substitute(v, values) if isinstance(v, str) else v for k, v in box.items()}
                        for box in command.boxes]
                if shown != want:
                    found.append("boxes: expected\n  " + "\n  ".join(map(json.dumps, want)) +
                                 "\ngot\n  " + "\n  ".join(map(json.dumps, shown)))
            if found:
                problems.append(f"$ {command.line}  (line {command.lineno})\n" + "\n".join(found))
        return problems
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def make_prefix(prefix):
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
    env.pop("DISPLAY", None)
    shutil.rmtree(prefix, ignore_errors=True)
    subprocess.run(["wineboot", "-i"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=600, check=True)
    subprocess.run(["wineserver", "-w"], env=env, timeout=600, check=True)
    return 0


def stop_prefix(prefix):
    env = dict(os.environ, WINEPREFIX=prefix)
    subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
    return 0


def main():
    parser = argparse.ArgumentParser(description="Runs end-to-end case files.")
    parser.add_argument("--target", choices=("native", "wine"), default="native")
    parser.add_argument("--bin", help="directory of the programs")
    parser.add_argument("--prefix", help="the Wine prefix to run in")
    parser.add_argument("--make-prefix", metavar="DIR", help="make a fresh Wine prefix and stop")
    parser.add_argument("--stop-prefix", metavar="DIR", help="stop the Wine server of a prefix and stop")
    parser.add_argument("--artefacts", metavar="DIR", help="where to keep screenshots of message boxes")
    parser.add_argument("files", nargs="*")
    args = parser.parse_args()
    if args.make_prefix:
        return make_prefix(args.make_prefix)
    if args.stop_prefix:
        return stop_prefix(args.stop_prefix)
    platform = Platform(args.target, args.bin, args.prefix and os.path.abspath(args.prefix))
    passed = failed = skipped = 0
    for path in args.files:
        casefile = CaseFile(path)
        for case in casefile.cases:
            if case.only and case.only != args.target:
                skipped += 1
                continue
            problems = run_case(platform, casefile, case, args.artefacts and os.path.abspath(args.artefacts))
            name = f"{os.path.basename(path)}: {case.title}"
            if problems:
                failed += 1
                print(f"FAIL {name}\n  {path}:{case.lineno}")
                for problem in problems:
                    print("  " + problem.replace("\n", "\n  "))
            else:
                passed += 1
                print(f"ok   {name}")
    print(f"{passed} passed, {failed} failed, {skipped} skipped")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
