#!/usr/bin/env python3
"""The native programs over a real Wine prefix, against Wine itself, in a
fresh 64-bit prefix made by wineboot:

- the same questions asked of the native hivepeek (the 64-bit view,
  WINSHIM_VIEW=64) and of the 64-bit hivepeek.exe in the same prefix, over
  keys of HKLM\\Software, HKCU and HKCR: byte for byte the same answers, the
  ANSI code pages aside (UTF-8 natively, 1252 under Wine), but for the
  departures of Wine that DEPARTURES names;
- keys staged with `reg add /reg:32` and `/reg:64`, names and strings outside
  ASCII among them: each view answers as `reg query` in that view says;
- with a wineserver running for the prefix, the native pinhome is refused,
  says why, and leaves the files as they were;
- the native pinhome into the stopped prefix, for all users and for the
  current user, from a bin directory under drive_c (the value stored is
  C:\\...) and with -d: Wine shows the value in the 32-bit view that the
  shipped pinhome.exe uses, and Wine's own save of the files changes nothing
  of what was written: an export of the whole registry is the one before
  with the new values, and the files are Wine's to the byte.

    tests/wine_prefix.py NATIVE_BIN WIN64_BIN [--questions N]

Exits 77 (skipped) where this machine has no 64-bit Wine.
"""

import argparse
import concurrent.futures
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wine_runs  # noqa: E402

WINE = wine_runs.LOADER64
WINESERVER = "/usr/lib/wine/wineserver"
SKIP = 77

# What Wine answers otherwise than the files hold, each with why. Keys that
# wineserver makes at its start and never saves (volatile ones) are not in
# the files.
DEPARTURES = {
    "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Perflib":
        "volatile values that wineserver makes at its start",
}

# Staged with reg add in each view: (key, value name, data).
STAGED = [
    ("HKLM\\Software\\Tessel Test\\View", "width", "{view}-bit"),
    ("HKLM\\Software\\Tessel Test\\Caf\u00e9", "Na\u00efve \u00e9", "d\u00e9j\u00e0 {view}"),
    ("HKCU\\Software\\Tessel Test", "tab\there", "quote \" and \\ backslash {view}"),
]


def environment(prefix, **extra):
    env = {k: v for k, v in os.environ.items() if not k.startswith("WINSHIM_") and k != "DISPLAY"}
    env.update(WINEPREFIX=prefix, WINEARCH="win64", WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
               LANG="C.UTF-8", LC_ALL="C.UTF-8", HOME=os.path.dirname(prefix))
    env.update(extra)
    return env


def wine(prefix, *args, timeout=120):
    """A Wine program's standard output. Its standard error goes nowhere: the
    services a fresh server starts hold on to it."""
    return subprocess.run([WINE] + list(args), env=environment(prefix), stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=timeout).stdout


def server(prefix, *args):
    subprocess.run([WINESERVER] + list(args), env=environment(prefix), stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)


def native(bindir, prefix, program, args, **extra):
    proc = subprocess.run([os.path.join(bindir, program)] + args, env=environment(prefix, **extra),
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    return proc.returncode, proc.stdout, proc.stderr


# --- the keys of the files ------------------------------------------------------------

def wine_name(text):
    """A name of a Wine file, its escapes undone."""
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c != "\\" or i + 1 == len(text):
            out.append(c)
            i += 1
            continue
        e = text[i + 1]
        i += 2
        if e == "x":
            digits = re.match(r"[0-9a-fA-F]{1,4}", text[i:])
            out.append(chr(int(digits.group(0), 16)) if digits else "x")
            i += len(digits.group(0)) if digits else 0
        elif e in "01234567":
            digits = re.match(r"[0-7]{0,2}", text[i:]).group(0)
            out.append(chr(int(e + digits, 8)))
            i += len(digits)
        else:
            out.append({"n": "\n", "t": "\t", "r": "\r", "a": "\a", "b": "\b", "f": "\f", "v": "\v",
                        "e": "\x1b"}.get(e, e))
    return "".join(out)


def keys_of(path):
    """Every key of a Wine file that its sections name or imply, and the
    values of each."""
    keys = {}
    current = None
    with open(path, encoding="ascii", errors="replace") as f:
        for line in f:
            if line.startswith("["):
                end = re.match(r"\[((?:\\.|[^\]\\])*)\]", line)
                names = [wine_name(n) for n in re.split(r"\\\\", end.group(1)) if n]
                for depth in range(1, len(names) + 1):
                    keys.setdefault("\\".join(names[:depth]), [])
                current = keys["\\".join(names)]
            elif current is not None and (line.startswith('"') or line.startswith("@")):
                match = re.match(r'"((?:\\.|[^"\\])*)"=', line)
                current.append(wine_name(match.group(1)) if match else "")
    return keys


def questions(prefix, count):
    """A fixed sample of questions over HKLM\\Software, HKCU and HKCR."""
    machine, user = keys_of(os.path.join(prefix, "system.reg")), keys_of(os.path.join(prefix, "user.reg"))
    pool = []
    for root, keys, below in (("HKLM", machine, "Software"), ("HKCU", user, ""),
                              ("HKCR", machine, "Software\\Classes")):
        for key, values in keys.items():
            if below and not (key == below or key.lower().startswith(below.lower() + "\\")):
                continue
            logical = key[len(below):].lstrip("\\") if below else key
            path = root + "\\" + logical
            pool += [["-k", path], ["-v", path], ["-e", path]]
            pool += [["-r", path + "\\" + name] for name in values[:3] if name and "\\" not in name]
            if values and "" in values:
                pool.append(["-r", path + "\\"])
    pool += [["-e", "HKLM\\Software\\No Such Key"], ["-k", "HKEY_USERS\\"], ["-k", "HKEY_CURRENT_CONFIG\\"],
             ["-a"], ["-k", "HKCR\\"], ["-k", "HKLM\\"], ["-v", "HKCU\\"]]
    pool = [q for q in pool if all(ord(c) < 0x100 and c.isprintable() for c in q[-1])]
    random.Random(20261209).shuffle(pool)
    return pool[:count]


# --- the checks -----------------------------------------------------------------------

class Checks:
    def __init__(self, bindir, winbin, prefix):
        self.bindir, self.winbin, self.prefix = bindir, winbin, prefix
        self.failures = 0

    def fail(self, what, detail=""):
        self.failures += 1
        print(f"FAIL {what}" + ("\n  " + detail.replace("\n", "\n  ") if detail else ""))

    def differential(self, count):
        asked = questions(self.prefix, count)
        hivepeek = os.path.join(self.winbin, "hivepeek.exe")

        def both(question):
            _, mine, _ = native(self.bindir, self.prefix, "hivepeek", question, WINSHIM_VIEW="64")
            # A Wine program now and then gets no server under load and
            # prints nothing: that is no answer, and it is asked again.
            for _ in range(3):
                theirs = wine(self.prefix, hivepeek, *question)
                if b";;CMNT -end-mark-" in theirs or question[0] == "-a" and theirs:
                    break
            return question, mine.decode("utf-8", "replace"), theirs.decode("cp1252", "replace").replace("\r\n", "\n")

        differences = 0
        with concurrent.futures.ThreadPoolExecutor(max_workers=3) as pool:
            for question, mine, theirs in pool.map(both, asked):
                if mine == theirs:
                    continue
                if any(question[-1].startswith(key) for key in DEPARTURES):
                    continue
                differences += 1
                if differences <= 10:
                    self.fail(f"hivepeek {' '.join(question)}", f"native:\n{mine}Wine:\n{theirs}")
        print(f"differential: {len(asked)} questions, {differences} differences")

    def staged(self):
        """Each view answers as reg query says, natively in the default view
        (32-bit, as the shipped programs see it) and with WINSHIM_VIEW=64."""
        for view, setting in ((32, None), (64, "64")):
            for key, name, data in STAGED:
                extra = {"WINSHIM_VIEW": setting} if setting else {}
                _, mine, _ = native(self.bindir, self.prefix, "hivepeek", ["-r", f"{key}\\{name}"], **extra)
                theirs = wine(self.prefix, "reg", "query", key, "/v", name, f"/reg:{view}").decode("cp437", "replace")
                match = re.search(r"^    .*?    (REG_\w+)    (.*?)\r?$", theirs, re.M)
                want = f"{match.group(1)}\t{match.group(2)}\n" if match else ""
                got = mine.decode("utf-8")
                if got != want + ";;CMNT -end-mark-\n":
                    self.fail(f"{key}\\{name} in the {view}-bit view", f"native:\n{got}reg query:\n{theirs}")

    def refused_while_running(self):
        files = {name: open(os.path.join(self.prefix, name), "rb").read()
                 for name in ("system.reg", "user.reg", "userdef.reg")}
        status, out, err = native(self.bindir, self.prefix, "pinhome", ["-q", "-d", "C:\\Tessel"],
                                  WINSHIM_MSGBOX="ok")
        after = {name: open(os.path.join(self.prefix, name), "rb").read() for name in files}
        if status != 1 or b"ADDREG_FAILURE" not in err:
            self.fail("pinhome while a wineserver runs", f"status {status}\n{out!r}\n{err!r}")
        if b"a wineserver runs for this Wine prefix" not in err or b"wineserver -k" not in err:
            self.fail("pinhome while a wineserver runs says why", err.decode(errors="replace"))
        if after != files:
            self.fail("pinhome while a wineserver runs left the files as they were")

    def writes_kept(self):
        """From C:\\Tessel\\bin: -d for all users, then the directory it stands
        in for the current user. Wine reads both in the 32-bit view; its own
        save keeps the sections written byte for byte; and an export of the
        whole registry is the one before with the new keys, but for what
        changes at every start of Wine (two exports before tell that)."""
        tessel = os.path.join(self.prefix, "drive_c", "Tessel", "bin")
        shutil.copy(os.path.join(self.bindir, "pinhome"), tessel)
        noise = self.export("first")
        before = self.export("before")
        noise = {key for key in set(noise) | set(before) if noise.get(key) != before.get(key)}
        for args, said in ((["-q", "-d", "C:\\Tessel2"], "Done for all users."), (["-q", "-u"], "Done for current user.")):
            proc = subprocess.run([os.path.join(tessel, "pinhome")] + args, env=environment(self.prefix),
                                  stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
            if proc.returncode != 0 or proc.stdout.decode() != said:
                self.fail(f"pinhome {' '.join(args)}", f"{proc.returncode}: {proc.stdout!r} {proc.stderr!r}")
        written = {name: self.sections(open(os.path.join(self.prefix, name), "rb").read())
                   for name in ("system.reg", "user.reg")}
        for root, want in (("HKLM", "C:\\Tessel2"), ("HKCU", "C:\\Tessel")):
            out = wine(self.prefix, "reg", "query", f"{root}\\Software\\Halden\\Tessel", "/v", "tessel_dir",
                       "/reg:32").decode("cp437", "replace")
            if not re.search(r"tessel_dir    REG_EXPAND_SZ    " + re.escape(want) + r"\r?$", out, re.M):
                self.fail(f"Wine reads tessel_dir of {root} in the 32-bit view", out)
        server(self.prefix, "-k")
        for name, sections in written.items():
            saved = self.sections(open(os.path.join(self.prefix, name), "rb").read())
            if saved != sections:
                self.fail(f"Wine's save of {name} changed the sections written", f"{sections!r}\n{saved!r}")
        after = self.export("after")
        # Keys that Wine makes anew at every start (a new name each time) are
        # noise too: those whose parent has children that come and go.
        parents = {key.rsplit("\\", 1)[0] for key in noise}
        changed = {key for key in set(before) | set(after) if before.get(key) != after.get(key)
                   if key not in noise and not any(key.startswith(parent + "\\") for parent in parents)}
        want = {"HKEY_LOCAL_MACHINE\\Software\\Wow6432Node\\Halden",
                "HKEY_LOCAL_MACHINE\\Software\\Wow6432Node\\Halden\\Tessel",
                "HKEY_USERS\\S-1-5-21-0-0-0-1000\\Software\\Halden",
                "HKEY_USERS\\S-1-5-21-0-0-0-1000\\Software\\Halden\\Tessel"}
        if changed != want or any(key in before for key in want):
            self.fail("the export after the writes is the one before with the new keys",
                      "changed:\n" + "\n".join(sorted(changed)))

    @staticmethod
    def sections(text):
        """The sections of a Wine file that name Halden's keys."""
        blocks = text.decode("ascii").split("\n\n")
        return [block for block in blocks if block.startswith("[") and "Halden" in block.split("]")[0]]

    def export(self, name):
        """The whole registry as regedit exports it: each key's lines."""
        path = os.path.join(os.path.dirname(self.prefix), name + ".reg")
        wine(self.prefix, "regedit", "/E", "Z:" + path.replace("/", "\\"))
        server(self.prefix, "-k")
        with open(path, "rb") as f:
            text = f.read().decode("utf-16").replace("\r\n", "\n")
        keys, key = {}, None
        for line in text.split("\n"):
            if line.startswith("[") and line.endswith("]"):
                key = line[1:-1]
                keys[key] = []
            elif key is not None and line:
                keys[key].append(line)
        return keys


def make_prefix(top):
    prefix = os.path.join(top, "prefix")
    wine(prefix, "wineboot", "-i", timeout=300)
    for name in ("Tessel", "Tessel2"):
        os.makedirs(os.path.join(prefix, "drive_c", name, "bin"))
        open(os.path.join(prefix, "drive_c", name, "bin", "tessel.exe"), "w").close()
    for view in (32, 64):
        for key, name, data in STAGED:
            wine(prefix, "reg", "add", key, "/v", name, "/d", data.format(view=view), "/f", f"/reg:{view}")
    server(prefix, "-k")
    return prefix


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bindir")
    parser.add_argument("winbin")
    parser.add_argument("--questions", type=int, default=5000)
    args = parser.parse_args()
    reason = wine_runs.why_not("wine64")
    if reason:
        print(f"skipped: {reason}")
        return SKIP
    top = tempfile.mkdtemp(prefix="wine-prefix-")
    try:
        prefix = make_prefix(top)
        checks = Checks(os.path.abspath(args.bindir), os.path.abspath(args.winbin), prefix)
        server(prefix, "-p")
        wine(prefix, "cmd", "/c", "exit")  # the server and its services up before the clock
        checks.refused_while_running()
        checks.staged()
        checks.differential(args.questions)
        server(prefix, "-k")
        checks.writes_kept()
    finally:
        server(os.path.join(top, "prefix"), "-k")
        shutil.rmtree(top, ignore_errors=True)
    print("wine prefix checks: " + ("ok" if not checks.failures else f"{checks.failures} failed"))
    return 1 if checks.failures else 0


if __name__ == "__main__":
    sys.exit(main())
