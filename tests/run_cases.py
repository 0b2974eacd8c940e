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
    --- printer Office A4 default
    --- real printers
    --- case: a string value
    native only: why this case needs winshim
    $ NAME=VALUE hivepeek -r 'HKCU\\Software\\Tessel\\name'
    REG_SZ	abc
    ;;CMNT -end-mark-
    --- case: another paper
    printer: Small A5 default
    $ sheetwise --paper
    ...

The hive, file and printer blocks set up the state in which every case starts
afresh. A printer block names a printer and the page size of its default
settings, as a PPD names it (A4, Letter, A5, ...; PAPERS below), and
"default" makes it the default printer. "printer:" lines after a case's
title do the same for that case alone, in place of the file's printer
blocks, and a line "no printers" leaves it without any. Natively the
printers are staged in winshim's registry, where Windows keeps them, and
WINSHIM_PRINTERS=store makes winshim take them from there; under Wine they
are queues of a CUPS server of the run's own, from which Wine's spooler
takes its printers at every start. So a printer's name is a CUPS queue
name: no blanks, "/", "\\" or "#".

A file with a "real printers" block runs natively a second time, as the
platform "cups": the native programs, whose printers are then the queues of
a CUPS server of that run's own, as under Wine.

A case runs everywhere unless a line "PLATFORMS only: why" after its title
names where, separated by commas: native, cups, or one of the Wine runs of
wine_runs.py: wine32 (the 32-bit programs in a 32-bit prefix), wow64 (the
same programs in a 64-bit prefix, as they run on 64-bit Windows) and wine64
(the 64-bit build in a 64-bit prefix); wine names all three. A case that is
native only (it stages what only winshim's store can hold) does not run on
cups. A run that the machine cannot do reports its cases as skipped, with
the reason.

A command line is split as a POSIX shell would; NAME=VALUE words in front set
environment variables, and ARGV0=... sets the program's argv[0] (natively).
WINSHIM_WINVER=PLATFORM.MAJOR.MINOR, the Windows version that winshim
reports, is under Wine the version that Wine reports to that program (the
value Version of HKCU\\Software\\Wine\\AppDefaults\\PROGRAM.exe, set for the
command alone): so one command asks both platforms as the same family.
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
message texts, the sizes of the spooler's records); wine32=, wow64= and
wine64= name one run and win over wine=, cups= wins over native=; {TEXT*N}
is TEXT N times over; {tmp} the case's scratch directory as the program
names it (under Wine its Z: path), {wtmp} the same with backslashes, {exe}
".exe" under Wine and "" natively, {argv0} the argv[0] that the program
sees, {cr} a carriage return.
"""

import argparse
import atexit
import difflib
import json
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import zlib

import wine_runs

TOOLS = ("hivepeek", "sheetwise", "pinhome", "regdump", "regset", "fixedcheck")
TIMEOUT = 60
BOX_TITLE = r"^Setup dovlink\[w\] for Tessel - pinhome V0\.91$"
PLATFORMS = ("native", "cups", "wine") + tuple(wine_runs.RUNS)
SKIPPED = 77  # the status that tells CTest a test was skipped

# Page sizes that a printer block may name, as a PPD names them: the
# dmPaperSize code that Wine's spooler makes of each (and that winshim is
# given natively) and the size in points.
PAPERS = {
    "Letter": (1, 612, 792), "LetterSmall": (2, 612, 792), "Tabloid": (3, 792, 1224),
    "Ledger": (4, 1224, 792), "Legal": (5, 612, 1008), "Statement": (6, 396, 612),
    "Executive": (7, 522, 756), "A3": (8, 842, 1191), "A4": (9, 595, 842), "A4Small": (10, 595, 842),
    "A5": (11, 420, 595), "B4": (12, 729, 1032), "B5": (13, 516, 729), "Folio": (14, 612, 936),
    "Postcard": (43, 283, 420),
}
PRINTERS_KEY = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers"
DEVICE_KEY = "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows"

# Keys that tests write to and that every Wine case starts without.
WINE_SCRATCH_KEYS = (
    "HKEY_CURRENT_USER\\Software\\Halden",
    "HKEY_LOCAL_MACHINE\\Software\\Halden",
    "HKEY_CURRENT_USER\\Software\\Tessel",
    "HKEY_LOCAL_MACHINE\\Software\\Tessel",
)


# The Windows versions that WINSHIM_WINVER names, as Wine names them.
WINE_VERSIONS = {
    "0.3.1": "win31", "0.3.10": "win31", "1.4.0": "win95", "1.4.10": "win98", "1.4.90": "winme",
    "2.4.0": "nt40", "2.5.0": "win2k", "2.5.1": "winxp", "2.6.1": "win7", "2.10.0": "win10",
}
APP_DEFAULTS = "HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults"

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
        self.only = None  # the platforms named by an "only" line
        self.printers = None  # (name, paper, default) when the case names its own
        self.commands = []

    def runs_on(self, platform):
        return (self.only is None or platform in self.only or
                (platform in wine_runs.RUNS and "wine" in self.only))


class CaseFile:
    def __init__(self, path):
        self.path = path
        self.hives = []  # (root, text, read_only)
        self.files = []  # (relative path, text)
        self.printers = []  # (name, paper, default)
        self.real_printers = False  # natively against CUPS too
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
                elif head == "real printers":
                    self.real_printers = True
                    block = ["printer", []]
                elif head.startswith("printer "):
                    self.printers.append(self._printer(self.printers, head.split()[1:], number))
                    block = ["printer", []]
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

    def _printer(self, printers, words, number):
        """One printer: NAME PAPER [default]."""
        if len(words) not in (2, 3) or words[1] not in PAPERS or words[2:] not in ([], ["default"]):
            raise CaseFileError(f"{self.path}:{number}: expected a printer as NAME PAPER [default], "
                                f"PAPER one of {', '.join(PAPERS)}")
        if not re.fullmatch(r"[!-~\u00a0-\uffff]+", words[0]) or re.search(r"[/\\#]", words[0]):
            raise CaseFileError(f"{self.path}:{number}: {words[0]!r} cannot name a CUPS queue")
        if words[0].lower() in (name.lower() for name, _, _ in printers):
            raise CaseFileError(f"{self.path}:{number}: printer {words[0]} named twice")
        if len(words) == 3 and any(default for _, _, default in printers):
            raise CaseFileError(f"{self.path}:{number}: a second default printer")
        return (words[0], words[1], len(words) == 3)

    def _close(self, block):
        if block is None:
            return
        if block[0] == "printer":
            if any(block[-1]):
                raise CaseFileError(f"{self.path}: a printer block has no lines")  # nor a "real printers" one
            return
        text = "\n".join(block[-1]) + "\n"
        if block[0] == "hive":
            self.hives.append((block[1], text, block[2]))
        else:
            self.files.append((block[1], text))

    def _case_line(self, case, line, number):
        if not case.commands:
            only = re.match(r"([a-z0-9]+(?:, *[a-z0-9]+)*) only:", line)
            if only and case.only is None:
                case.only = {word.strip() for word in only.group(1).split(",")}
                if not case.only <= set(PLATFORMS):
                    raise CaseFileError(f"{self.path}:{number}: the platforms are {', '.join(PLATFORMS)}")
                return
            if line.startswith("printer:"):
                case.printers = case.printers or []
                case.printers.append(self._printer(case.printers, line[8:].split(), number))
                return
            if line == "no printers" and not case.printers:
                case.printers = []
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


def process_alive(pid, mark):
    """Whether the process runs yet and is the one started: its command line
    holds the mark (a process id may have been given to another since)."""
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            cmdline = f.read()
        with open(f"/proc/{pid}/stat", "rb") as f:
            state = f.read().rsplit(b")", 1)[1].split()[0]
    except OSError:
        return False
    return mark.encode() in cmdline and state != b"Z"


def end_process(pid, mark):
    """Ends a process that this run started, by its id."""
    if not process_alive(pid, mark):
        return
    os.kill(pid, signal.SIGTERM)
    for _ in range(100):
        if not process_alive(pid, mark):
            return
        time.sleep(0.1)
    os.kill(pid, signal.SIGKILL)


class Cups:
    """A CUPS server of the run's own: its configuration, spool, cache, state,
    logs and socket are in one temporary directory, and it listens on that
    socket alone. Nothing outside the directory is touched."""

    PPD = """*PPD-Adobe: "4.3"
*FormatVersion: "4.3"
*FileVersion: "1.0"
*LanguageVersion: English
*LanguageEncoding: ISOLatin1
*PCFileName: "TESSEL.PPD"
*Manufacturer: "Tessel"
*Product: "(Test Printer)"
*ModelName: "Tessel Test Printer"
*ShortNickName: "Tessel Test Printer"
*NickName: "Tessel Test Printer"
*PSVersion: "(3010.000) 0"
*LanguageLevel: "3"
*ColorDevice: False
*DefaultColorSpace: Gray
*FileSystem: False
*Throughput: "1"
*LandscapeOrientation: Plus90
*TTRasterizer: Type42
*OpenUI *PageSize/Media Size: PickOne
*OrderDependency: 10 AnySetup *PageSize
*DefaultPageSize: {default}
{sizes}*CloseUI: *PageSize
*OpenUI *PageRegion/Page Region: PickOne
*OrderDependency: 10 AnySetup *PageRegion
*DefaultPageRegion: {default}
{regions}*CloseUI: *PageRegion
*DefaultImageableArea: {default}
{areas}*DefaultPaperDimension: {default}
{dimensions}"""

    def __init__(self, directory):
        self.directory = directory
        self.socket = os.path.join(directory, "cups.sock")

    def env(self):
        return dict(os.environ, CUPS_SERVER=self.socket, LANG="C", LC_ALL="C")

    @classmethod
    def start(cls):
        """Starts a server in a new temporary directory; returns it and its pid."""
        cups = cls(tempfile.mkdtemp(prefix="tessel-cups-"))
        d = cups.directory
        for sub in ("spool", "tmp", "cache", "state", "log", "ppd"):
            os.makedirs(os.path.join(d, sub))
        with open(os.path.join(d, "cups-files.conf"), "w") as f:
            f.write(f"ServerRoot {d}\nRequestRoot {d}/spool\nTempDir {d}/tmp\nCacheDir {d}/cache\n"
                    f"StateDir {d}/state\nErrorLog {d}/log/error_log\nAccessLog {d}/log/access_log\n"
                    f"PageLog {d}/log/page_log\nSystemGroup root\nFileDevice Yes\n")
        with open(os.path.join(d, "cupsd.conf"), "w") as f:
            f.write(f"Listen {cups.socket}\nBrowsing No\nWebInterface No\nLogLevel warn\n"
                    "<Policy default>\n  <Limit All>\n    Order allow,deny\n    Allow all\n  </Limit>\n"
                    "</Policy>\n")
        with open(os.path.join(d, "log", "cupsd.out"), "wb") as log:
            server = subprocess.Popen(["cupsd", "-f", "-c", os.path.join(d, "cupsd.conf"),
                                       "-s", os.path.join(d, "cups-files.conf")],
                                      stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True)
        for _ in range(200):
            if os.path.exists(cups.socket) and "is running" in subprocess.run(
                    ["lpstat", "-r"], env=cups.env(), capture_output=True, text=True, timeout=TIMEOUT).stdout:
                return cups, server.pid
            if server.poll() is not None:
                break
            time.sleep(0.05)
        end_process(server.pid, d)
        raise RuntimeError(f"cupsd did not start; see {d}/log")

    def ppd(self, paper):
        path = os.path.join(self.directory, "ppd", paper + ".ppd")
        if not os.path.exists(path):
            def lines(keyword, value):
                return "".join(f"*{keyword} {name}: {value(w, h)}\n" for name, (_, w, h) in PAPERS.items())
            text = self.PPD.format(
                default=paper,
                sizes=lines("PageSize", lambda w, h: f'"<</PageSize[{w} {h}]>>setpagedevice"'),
                regions=lines("PageRegion", lambda w, h: f'"<</PageSize[{w} {h}]>>setpagedevice"'),
                areas=lines("ImageableArea", lambda w, h: f'"0 0 {w} {h}"'),
                dimensions=lines("PaperDimension", lambda w, h: f'"{w} {h}"'))
            with open(path, "w", encoding="ascii") as f:
                f.write(text)
        return path

    def set_printers(self, printers):
        """Makes the printers the server's only queues."""
        env = self.env()

        def lpadmin(*args):
            subprocess.run(["lpadmin"] + list(args), env=env, stdin=subprocess.DEVNULL, capture_output=True,
                           timeout=TIMEOUT, check=True)
        queues = subprocess.run(["lpstat", "-e"], env=env, capture_output=True, text=True, timeout=TIMEOUT).stdout
        for queue in queues.split():
            lpadmin("-x", queue)
        for name, paper, default in printers:
            lpadmin("-p", name, "-E", "-v", "file:/dev/null", "-P", self.ppd(paper))
            if default:
                lpadmin("-d", name)


class WineRun:
    """One of the Wine runs of wine_runs.py: a prefix of its architecture and
    the CUPS server whose queues are its printers, kept in one directory of
    the build: the prefix in prefix/, the run's name in run, the server in
    cups.json, and in skipped the reason why this machine cannot do the run."""

    def __init__(self, directory):
        self.directory = os.path.abspath(directory)
        self.prefix = os.path.join(self.directory, "prefix")

    def _read(self, name, default=None):
        try:
            with open(os.path.join(self.directory, name)) as f:
                return f.read().strip()
        except FileNotFoundError:
            return default

    @property
    def kind(self):
        """The run's wine_runs.Run."""
        return wine_runs.RUNS[self._read("run", "wine32")]

    @property
    def skipped(self):
        return self._read("skipped")

    @property
    def cups(self):
        state = self._read("cups.json")
        return Cups(json.loads(state)["dir"]) if state else None

    def env(self, env=None):
        kind = self.kind
        env = dict(os.environ if env is None else env, WINEPREFIX=self.prefix, WINEARCH=kind.arch,
                   WINEDEBUG="-all")
        # A 64-bit loader called directly is told that it is the loader, as
        # Debian's wrapper tells it: Wine starts its own processes with it.
        set_loader(env, kind.program_loader)
        cups = self.cups
        if cups:
            env["CUPS_SERVER"] = cups.socket
        else:
            env.pop("CUPS_SERVER", None)
        return env

    def setup(self, name):
        """A fresh prefix and a fresh server, whatever an earlier set-up left;
        or, where the machine cannot do the run, the reason, and a skip."""
        self.teardown()
        os.makedirs(self.directory, exist_ok=True)
        for leftover in ("run", "skipped"):
            if os.path.exists(os.path.join(self.directory, leftover)):
                os.remove(os.path.join(self.directory, leftover))
        shutil.rmtree(self.prefix, ignore_errors=True)
        with open(os.path.join(self.directory, "run"), "w") as f:
            f.write(name + "\n")
        reason = wine_runs.why_not(name)
        if reason:
            with open(os.path.join(self.directory, "skipped"), "w") as f:
                f.write(reason + "\n")
            print(f"{name} skipped: {reason}")
            return SKIPPED
        env = self.env()
        env.pop("DISPLAY", None)
        set_loader(env, self.kind.prefix_loader)
        subprocess.run([self.kind.prefix_loader, "wineboot", "-i"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=600, check=True)
        subprocess.run(["wineserver", "-w"], env=env, timeout=600, check=True)
        start_wineserver(env)
        cups, pid = Cups.start()
        with open(os.path.join(self.directory, "cups.json"), "w") as f:
            json.dump({"dir": cups.directory, "pid": pid}, f)
        print(f"{name}: {self.kind.arch} prefix {self.prefix}, CUPS server {cups.socket}")
        return 0

    def teardown(self):
        """Stops the prefix's Wine server and the CUPS server, and removes the
        server's directory."""
        if os.path.isdir(self.prefix):
            subprocess.run(["wineserver", "-k"], env=self.env(), stderr=subprocess.DEVNULL, timeout=TIMEOUT)
        state = self._read("cups.json")
        if state:
            state = json.loads(state)
            end_process(state["pid"], state["dir"])
            shutil.rmtree(state["dir"], ignore_errors=True)
            os.remove(os.path.join(self.directory, "cups.json"))
        return 0


def set_loader(env, loader):
    if loader == wine_runs.LOADER64:
        env["WINELOADER"] = loader
    else:
        env.pop("WINELOADER", None)


def start_wineserver(env):
    """Starts the prefix's Wine server for good. A server left to start with
    the first program ends with the last one, and a program that starts as
    it ends can fail to connect; a server that stays also spares each program
    the start of a new one."""
    subprocess.run(["wineserver", "-p"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=TIMEOUT, check=True, start_new_session=True)


class Platform:
    """Where the programs run: natively against winshim, with the store's
    printers or (cups) with those of a CUPS server of the run's own, or under
    Wine."""

    def __init__(self, target, bindir, run=None):
        self.target = "wine" if target == "wine" else "native"
        self.bindir = os.path.abspath(bindir)
        self.run_dir = run
        self.name = target if target != "wine" else run.kind.name
        self.server = None  # cups: the server and its pid, started for the first case

    def cups(self):
        if self.server is None:
            self.server = Cups.start()
            atexit.register(self.stop_cups)
        return self.server[0]

    def stop_cups(self):
        cups, pid = self.server
        end_process(pid, cups.directory)
        shutil.rmtree(cups.directory, ignore_errors=True)

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
               ("POSIXLY_CORRECT", "POSIXLY_INCORRECT_GETOPT", "TESTPRINTER", "DISPLAY", "CUPS_SERVER",
                "LPDEST", "PRINTER")}
        env["CASE_DIR"] = tmp  # where the commands run
        if self.target == "native":
            env["HOME"] = tmp
            env["WINSHIM_REGISTRY"] = os.path.join(tmp, "registry")
            if self.name == "cups":
                env["CUPS_SERVER"] = self.cups().socket
            else:
                env["WINSHIM_PRINTERS"] = "store"
            env["LANG"] = "C.UTF-8"
            env.pop("LC_ALL", None)
        else:
            env = self.run_dir.env(env)
            env["LANG"] = "C.UTF-8"  # Wine's ANSI code page is 1252 then
            env.pop("LC_ALL", None)
        return env

    @staticmethod
    def printer_sections(printers):
        """The printers as winshim keeps them: a key with the paper code of its
        default settings each, and the default one as the user's device."""
        hklm = "".join(f"\n[{PRINTERS_KEY}\\{name}]\n\"PaperSize\"=dword:{PAPERS[paper][0]:08x}\n"
                       for name, paper, _ in printers)
        hkcu = "".join(f"\n[{DEVICE_KEY}]\n\"Device\"=\"{name},winspool,Ne00:\"\n"
                       for name, _, default in printers if default)
        return {"HKEY_LOCAL_MACHINE": hklm, "HKEY_CURRENT_USER": hkcu}

    def prepare(self, casefile, tmp, printers):
        for rel, text in casefile.files:
            path = os.path.join(tmp, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
        if self.target == "native":
            registry = os.path.join(tmp, "registry")
            os.makedirs(registry)
            hives = {root: [text, read_only] for root, text, read_only in casefile.hives}
            if self.name == "cups":
                self.cups().set_printers(printers)
                printers = []
            for root, sections in self.printer_sections(printers).items():
                if sections:
                    hives.setdefault(root, ["REGEDIT4\n", False])[0] += sections
            for root, (text, read_only) in hives.items():
                path = os.path.join(registry, root + ".reg")
                with open(path, "w", encoding="utf-8", newline="") as f:
                    f.write(text)
                if read_only:
                    os.chmod(path, 0o444)
            return
        # Wine keeps one registry for the whole run: take away what the last
        # case may have left, then import this file's hives. On 64-bit
        # Windows a 32-bit program's HKLM\Software is the 64-bit registry's
        # Software\Wow6432Node: the reset clears both views, from the
        # prefix's own regedit, and the hives are imported by a regedit of
        # the programs' width, so that they are what the programs see.
        keys = set(WINE_SCRATCH_KEYS)
        for _, text, _ in casefile.hives:
            for match in re.finditer(r"^\[([^\]\r\n]+)\]", text, re.M):
                key = scratch_key(match.group(1))
                if key:
                    keys.add(key)
        keys = sorted(k for k in keys if "\\" in k)
        kind = self.run_dir.kind
        if kind.arch == "win64":
            keys += [re.sub(r"(?i)^([^\\]+\\Software)\\", r"\1\\Wow6432Node\\", k) for k in keys
                     if k.split("\\")[1].lower() == "software"]
        keys += [f"{APP_DEFAULTS}\\{tool}.exe" for tool in TOOLS]
        reset = "REGEDIT4\n\n" + "".join(f"[-{k}]\n\n" for k in keys)
        self.regedit(tmp, "reset.reg", reset, kind.prefix_loader)
        for index, (_, text, _) in enumerate(casefile.hives):
            self.regedit(tmp, f"hive{index}.reg", text, kind.program_loader)
        cups = self.run_dir.cups
        if cups:
            cups.set_printers(printers)
        elif printers:
            raise RuntimeError(f"no CUPS server in {self.run_dir.directory}: set the run up with --setup")

    def regedit(self, tmp, name, text, loader):
        path = os.path.join(tmp, name)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        # Wine's regedit now and then exits with 1 on a loaded machine, having
        # imported nothing; an import may be made again, so it is, and said.
        for attempt in range(3):
            status, _, err = self.collect(dict(args=[loader, "regedit", "/S", self.windows_path(path)],
                                               env=self.base_env(tmp)))
            if status == 0:
                return
            print(f"regedit /S {name} exited with {status}: {err.decode(errors='replace').strip()!r}"
                  + ("; again" if attempt < 2 else ""))
            time.sleep(1)
        raise RuntimeError(f"regedit could not import {name}")

    def set_version(self, tmp, tool, version):
        """Under Wine, makes Wine report the version to the program, or (None)
        its own again."""
        key = f"{APP_DEFAULTS}\\{tool}.exe"
        if version is None:
            text = f"REGEDIT4\n\n[-{key}]\n"
        elif version in WINE_VERSIONS:
            text = f'REGEDIT4\n\n[{key}]\n"Version"="{WINE_VERSIONS[version]}"\n'
        else:
            raise CaseFileError(f"WINSHIM_WINVER={version}: Wine names no such version")
        self.regedit(tmp, "version.reg", text, self.run_dir.kind.program_loader)

    def run(self, program, tool, args, env, argv0, answers, artefact):
        if self.target == "wine":
            argv = [self.run_dir.kind.program_loader, program] + args
            executable = None
        else:
            argv = [argv0 or tool] + args
            executable = program
        if self.target == "wine" and answers is not None:
            return self.run_on_display(argv, env, answers, artefact)
        return self.collect(dict(args=argv, executable=executable, env=env, cwd=env["CASE_DIR"],
                                 start_new_session=True))

    @staticmethod
    def collect(popen, during=None):
        """Runs a program, `during(proc)` while it lives, and returns its
        status and output. Output goes to files, and the run ends with the
        program: a process of Wine's that the program started (its services,
        its desktop) lives on with the program's handles, and would hold a
        pipe open."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.Popen(stdin=subprocess.DEVNULL, stdout=out, stderr=err, **popen)
            try:
                if during:
                    during(proc)
                status = proc.wait(timeout=TIMEOUT)
            finally:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()
            out.seek(0)
            err.seek(0)
            return status, out.read(), err.read()

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
            self.restart_server({k: v for k, v in env.items() if k != "DISPLAY"})

    @staticmethod
    def restart_server(env):
        subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL, timeout=TIMEOUT)
        subprocess.run(["wineserver", "-w"], env=env, stderr=subprocess.DEVNULL, timeout=TIMEOUT)
        start_wineserver(env)

    def answer_boxes(self, argv, env, answers, artefact):
        def press_keys(proc):
            done = set()
            for index, answer in enumerate(answers):
                window = Display.wait_window(env, done, proc)
                if window is None:
                    break
                done.add(window)
                if index == 0 and artefact:
                    Display.screenshot(env, artefact)
                Display.press(env, window, "Return" if answer == "ok" else "Escape", proc)
        return self.collect(dict(args=argv, env=env, cwd=env["CASE_DIR"]), press_keys)


class Display:
    """One Xvfb server for the run, started when a case first needs it."""

    name = None

    @classmethod
    def get(cls):
        if cls.name:
            return cls.name
        # The server takes the first free display number and says which:
        # runs in two prefixes at once each start one.
        reader, writer = os.pipe()
        server = subprocess.Popen(["Xvfb", "-displayfd", str(writer), "-screen", "0", "1024x768x24",
                                   "-nolisten", "tcp"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, pass_fds=(writer,))
        atexit.register(server.kill)
        os.close(writer)
        with os.fdopen(reader) as f:
            number = f.readline().strip()
        if not number:
            raise RuntimeError("Xvfb did not start")
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


def choose(match, platform):
    """The text of {native=A|wine=B|wine64=C} for the platform: its own
    name's, else (under Wine) wine's."""
    options = dict(option.split("=", 1) for option in match.group(1).split("|"))
    for name in (platform, "wine" if platform in wine_runs.RUNS else "native" if platform == "cups" else None):
        if name in options:
            return options[name]
    raise CaseFileError(f"{match.group(0)} says nothing for {platform}")


def substitute(text, values):
    text = re.sub(r"\{([^{}*|=]+)\*(\d+)\}", lambda m: m.group(1) * int(m.group(2)), text)
    names = "|".join(PLATFORMS)
    text = re.sub(rf"\{{((?:{names})=[^|{{}}]*(?:\|(?:{names})=[^|{{}}]*)+)\}}",
                  lambda m: choose(m, values["platform"]), text)
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
        platform.prepare(casefile, tmp, casefile.printers if case.printers is None else case.printers)
        wine = platform.target == "wine"
        values = {"tmp": platform.windows_path(tmp), "wtmp": platform.windows_path(tmp).replace("/", "\\"),
                  "exe": ".exe" if wine else "", "cr": "\r", "platform": platform.name}
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
                slug = re.sub(r"[^A-Za-z0-9]+", "-",
                              f"{platform.name}-{os.path.basename(casefile.path)}-{case.title}").strip("-")
                artefact = os.path.join(artefacts, f"{slug}-{number}.png")
            version = env.pop("WINSHIM_WINVER", None) if wine else None
            if version:
                platform.set_version(tmp, tool, version)
            try:
                status, out, err = platform.run(program, tool, words[1:], env, argv0, answers, artefact)
            finally:
                if version:
                    platform.set_version(tmp, tool, None)
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


def main():
    parser = argparse.ArgumentParser(description="Runs end-to-end case files.")
    parser.add_argument("--target", choices=("native", "cups", "wine"), default="native",
                        help="cups: natively, the files with real printers, against a CUPS server")
    parser.add_argument("--bin", help="directory of the programs")
    parser.add_argument("--run", metavar="DIR", help="the Wine run (prefix and CUPS server) to run in")
    parser.add_argument("--setup", metavar="DIR", help="set up a Wine run afresh: a prefix and a CUPS server")
    parser.add_argument("--name", choices=tuple(wine_runs.RUNS), default="wine32", help="which Wine run to set up")
    parser.add_argument("--teardown", metavar="DIR", help="stop a Wine run's servers")
    parser.add_argument("--artefacts", metavar="DIR", help="where to keep screenshots of message boxes")
    parser.add_argument("files", nargs="*")
    args = parser.parse_args()
    if args.setup:
        return WineRun(args.setup).setup(args.name)
    if args.teardown:
        return WineRun(args.teardown).teardown()
    if args.target == "wine" and not args.run:
        parser.error("--target wine needs --run")
    if args.target == "wine" and WineRun(args.run).skipped:
        print(f"skipped: {WineRun(args.run).skipped}")
        return SKIPPED
    platform = Platform(args.target, args.bin, args.run and WineRun(args.run))
    passed = failed = skipped = 0
    for path in args.files:
        casefile = CaseFile(path)
        for case in casefile.cases:
            if not case.runs_on(platform.name) or (platform.name == "cups" and not casefile.real_printers):
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
