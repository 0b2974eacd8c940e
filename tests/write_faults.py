#!/usr/bin/env python3
"""Makes every system call of a write fail in turn, for a write of each tool,
and checks what is left: each hive holds its old text or its new one, whole;
the tool reports failure exactly when the new text is not in place; and no
temporary file is left beside the hives.

    tests/write_faults.py BIN_DIR

A failure is injected through WINSHIM_FAULTS ("write#2=28": the second write
fails with ENOSPC); WINSHIM_FAULTS_LOG tells whether the call was made at
all, so each call is failed at its first, second, ... use until the write
makes no more of them. The calls are those of winshim's table of system
calls, every one of them. A failed unlink may leave a temporary file, as it
would on a failing disk: the next write must remove it.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

SYS_H = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "winshim", "src", "sys.h")
with open(SYS_H) as header:
    CALLS = tuple(re.findall(r"^\s*X\((\w+)\)", header.read(), re.M))
ERRNO = {"write": 28, "copy_file_range": 28}  # ENOSPC; the others fail with EIO

HIVES = ("HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE")

SETUP_KEYS = ("REGEDIT4\r\n\r\n; kept as written\r\n"
              "[{root}\\SOFTWARE\\Halden\\Tessel]\r\n\"other\"=\"x\"\r\n\r\n"
              "[{root}\\SYSTEM\\CurrentControlSet\\Control\\Print\\Forms]\r\n")


WINE_FILES = {"HKEY_LOCAL_MACHINE": "system.reg", "HKEY_CURRENT_USER": "user.reg"}
WINE_KEYS = ("WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\{root}\n\n#arch=win32\n\n"
             "[Software\\\\Halden\\\\Tessel] 1796814694\n#time=1dd87ce0d270906\n\"other\"=\"x\"\n")


def utf16(text):
    return b"\xff\xfe" + text.encode("utf-16-le")


def pinhome_changed(status, out):
    return None if status else "HKEY_LOCAL_MACHINE" if out.startswith(b"Done for all users.") else "HKEY_CURRENT_USER"


# Each scenario: its starting hives, the command, and how the command's
# output says which hive it changed (None: it failed). Hives named by their
# files are a Wine prefix.
SCENARIOS = [
    ("pinhome, all users or the fallback",
     {root: SETUP_KEYS.format(root=root).encode() for root in HIVES},
     ["pinhome", "-q", "-d", "{dir}"],
     pinhome_changed),
    ("pinhome into a Wine prefix",
     {"system.reg": WINE_KEYS.format(root="Machine").encode(),
      "user.reg": WINE_KEYS.format(root="User\\\\S-1-5-21-0-0-0-1000").encode()},
     ["pinhome", "-q", "-d", "{dir}"],
     pinhome_changed),
    ("sheetwise adds a form",
     {"HKEY_LOCAL_MACHINE": SETUP_KEYS.format(root="HKEY_LOCAL_MACHINE").encode()},
     ["sheetwise", "--noforms", "--add=Fault Form:U:10:20"],
     lambda status, out: "HKEY_LOCAL_MACHINE" if b"ADD of form Fault Form ok" in out else None),
    ("regset into a UTF-16 hive",
     {"HKEY_CURRENT_USER": utf16(SETUP_KEYS.replace("REGEDIT4", "Windows Registry Editor Version 5.00")
                                 .format(root="HKEY_CURRENT_USER"))},
     ["regset", "HKCU\\SOFTWARE\\Halden\\Tessel", "v", "sz", "caf\u00e9"],
     lambda status, out: None if status else "HKEY_CURRENT_USER"),
    ("sheetwise makes the store and a hive's first file",
     {},
     ["sheetwise", "--noforms", "--add=Fault Form:U:10:20"],
     lambda status, out: "HKEY_LOCAL_MACHINE" if b"ADD of form Fault Form ok" in out else None),
]


EDITOR = tempfile.mkdtemp(prefix="write-faults-editor-")  # the one editor directory that pinhome stores


class Store:
    def __init__(self, hives):
        self.top = tempfile.mkdtemp(prefix="write-faults-")
        self.dir = os.path.join(self.top, "registry")
        if hives:  # else the first write makes the store too
            os.makedirs(self.dir)
        self.wine = "system.reg" in hives
        for name, data in hives.items():
            with open(os.path.join(self.dir, name if self.wine else name + ".reg"), "wb") as f:
                f.write(data)

    def hives(self):
        out = {}
        for root in HIVES:
            path = os.path.join(self.dir, WINE_FILES[root] if self.wine else root + ".reg")
            out[root] = open(path, "rb").read() if os.path.exists(path) else None
            if self.wine and out[root]:  # a key that a write touches gets the time of the write
                out[root] = re.sub(rb"(?m)^(\[.*\] )[0-9]+$", rb"\1T", out[root])
                out[root] = re.sub(rb"(?m)^#time=[0-9a-f]+$", b"#time=T", out[root])
        return out

    def strays(self):
        if not os.path.isdir(self.dir):
            return []
        return sorted(name for name in os.listdir(self.dir) if name.startswith("."))

    def run(self, bindir, argv, faults=None):
        env = {k: v for k, v in os.environ.items() if not k.startswith("WINSHIM_")}
        env.update(WINSHIM_REGISTRY=self.dir, WINSHIM_MSGBOX="ok", LANG="C.UTF-8")
        log = os.path.join(self.top, "faults.log")
        if faults:
            env.update(WINSHIM_FAULTS=faults, WINSHIM_FAULTS_LOG=log)
        argv = [os.path.join(bindir, argv[0])] + [a.format(dir=EDITOR) for a in argv[1:]]
        proc = subprocess.run(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        fired = os.path.exists(log) and os.path.getsize(log) > 0
        return proc.returncode, proc.stdout, fired

    def close(self):
        if self.wine:  # the lock directory that a write held, as a wineserver's
            st = os.stat(self.dir)
            shutil.rmtree(f"/tmp/.wine-{os.geteuid()}/server-{st.st_dev:x}-{st.st_ino:x}", ignore_errors=True)
        shutil.rmtree(self.top)


def new_texts(bindir, hives, argv):
    """The text each hive gets from the command when nothing fails; for
    pinhome, also the current user's, which its fallback writes."""
    texts = {}
    runs = [argv]
    if argv[0] == "pinhome":
        runs.append(argv[:1] + ["-u"] + argv[1:])
    for run in runs:
        store = Store(hives)
        old = store.hives()
        status, out, _ = store.run(bindir, run)
        if status:
            sys.exit(f"{run}: fails without faults ({status}): {out!r}")
        for root, text in store.hives().items():
            if text != old[root]:
                texts[root] = text
        store.close()
    return texts


def main():
    bindir = sys.argv[1]
    os.makedirs(os.path.join(EDITOR, "bin"))
    open(os.path.join(EDITOR, "bin", "tessel.exe"), "w").close()
    problems, runs, covered = [], 0, {}
    for title, hives, argv, changed in SCENARIOS:
        new = new_texts(bindir, hives, argv)
        covered[title] = set()
        for call in CALLS:
            for n in range(1, 200):
                store = Store(hives)
                old = store.hives()
                status, out, fired = store.run(bindir, argv, f"{call}#{n}={ERRNO.get(call, 5)}")
                runs += 1
                now, strays = store.hives(), store.strays()
                if strays and call == "unlink" and now["HKEY_LOCAL_MACHINE"] is not None:
                    store.run(bindir, ["sheetwise", "--noforms", "--add=Next Form:U:10:20"])
                    strays = store.strays()
                store.close()
                where = f"{title}: {call}#{n}"
                if not fired:
                    break
                covered[title].add(call)
                for root in HIVES:
                    if now[root] != old[root] and now[root] != new.get(root):
                        problems.append(f"{where}: {root} holds neither its old text nor its new one")
                said = changed(status, out)
                in_place = [root for root in HIVES if now[root] != old[root]]
                if said and now[said] != new.get(said):
                    problems.append(f"{where}: reports a write to {said} whose new text is not in place")
                if not said and in_place:
                    problems.append(f"{where}: reports failure, but {in_place} changed")
                if said and [r for r in in_place if r != said]:
                    problems.append(f"{where}: changed {in_place}, reports {said}")
                if strays:
                    problems.append(f"{where}: left {strays}")
    for title, calls in covered.items():
        print(f"{title}: failed in turn: {' '.join(c for c in CALLS if c in calls)}")
        missing = {"open", "read", "fsync", "fchmod", "fchown", "flock"} - calls
        missing |= {"rename"} - calls if "first file" not in title else {"link"} - calls
        if not calls & {"write", "copy_file_range"}:
            missing.add("write")
        if missing:
            problems.append(f"{title}: the write made no {sorted(missing)} call to fail")
    print(f"{runs} runs")
    shutil.rmtree(EDITOR)
    for problem in problems:
        print("FAIL " + problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
