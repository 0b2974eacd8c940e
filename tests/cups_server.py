#!/usr/bin/env python3
"""What the native programs make of a CUPS server of the test's own, beyond
what the cases show:

- the default printer is the one `lpstat -d` names, the user's lpoptions
  default and LPDEST included;
- a process lists the queues once: one deleted after the listing still
  opens in it, and a new process does not see it;
- names outside ASCII or with a '+' have their paper; of queues that differ
  in the case of a letter outside ASCII, the one spelt so is opened; a
  default destination that is an instance is its queue, with its paper;
- a run that opens no printer does not contact the server;
- a server that is stopped, down, a CUPS_SERVER that is a file and no
  socket, or an address that does not answer: an answer within 2 s, the one
  for no printers (then the store's printers are the printers), and where
  the time ran out, one line that says so;
- servers of the test's own that trickle, answer garbage, answer late, or
  send PPDs of 132 MB: the same, or the right answer where there is one in
  time, each PPD asked for once and read no further than needed.

    tests/cups_server.py BIN_DIR
"""

import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run_cases import Cups, end_process  # noqa: E402

# A run gets 2 s from its first question to CUPS (BOUND). The test's clock
# runs around the process, whose start-up and exit take hundredths of a
# second at ease and may take half a second under load. So a run may take
# LIMIT; one that takes longer is held to BOUND plus what start-up and exit
# cost now, measured by the same run over the store, plus SLACK.
BOUND = 2.0
LIMIT = 2.5
SLACK = 0.3
PRINTERS = [("Office", "A4", True), ("Letters", "Letter", False), ("Small", "A5", False)]
STORE_PRINTER = ("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\Kept]\n"
                 "\"PaperSize\"=dword:00000005\n")
STORE_DEFAULT = ("REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows]\n"
                 "\"Device\"=\"Kept,winspool,LPT1:\"\n")
NOT_FOUND = "Default printer: (not found)\n"
PAPER_ONLY = ["--paper"]
# (text as read: the message text's CRLF is one newline)
NO_QUEUE = "ERROR: cannot OpenPrinter(Office) [Failed with error 1801: The printer name is invalid.\n]\n"


def gave_up(server):
    """What a run says on standard error when CUPS gave no answer in time."""
    return f"winshim: CUPS server {server} gave no answer within 2 s\n"


class Hostile:
    """A server of the test's own on a socket, a thread for each connection.
    "trickle" answers one byte every 0.3 s, "garbage" 100,000 NUL bytes to
    every request; "slow" answers as CUPS does, each answer 0.9 s late;
    "huge" at once, with PPDs of 132 MB, made as they are sent: Early's
    *DefaultPageSize at its start, Late's at its end. It counts the PPDs
    asked for, and the bytes of each sent."""

    PRINTERS = ("Early", "Late")  # the first is the default; each one's media-default is A4
    PPD_SIZE = 132 << 20

    def __init__(self, kind):
        self.kind = kind
        self.directory = tempfile.mkdtemp(prefix="cups-hostile-")
        self.path = os.path.join(self.directory, "cups.sock")
        self.asked, self.sent = {}, {}
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(self.path)
        self.listener.listen(64)
        threading.Thread(target=self.accept, daemon=True).start()

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.listener.close()
        shutil.rmtree(self.directory, ignore_errors=True)

    def accept(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self.serve, args=(connection,), daemon=True).start()

    def serve(self, connection):
        def more():
            got = connection.recv(65536)
            if not got:
                raise ConnectionResetError
            return got
        data = b""
        try:
            while True:
                while b"\r\n\r\n" not in data:
                    data += more()
                head, data = data.split(b"\r\n\r\n", 1)
                length = int((head.lower().split(b"content-length:", 1)[1:] or [b"0"])[0].split(b"\r")[0])
                while len(data) < length:
                    data += more()
                body, data = data[:length], data[length:]
                if self.kind == "trickle":
                    for byte in b"HTTP/1.1 200 OK\r\n" + b"X" * 100000:
                        connection.sendall(bytes([byte]))
                        time.sleep(0.3)
                if self.kind == "garbage":
                    connection.sendall(b"\0" * 100000)
                    return
                if self.kind == "slow":
                    time.sleep(0.9)
                request = head.split(b" ")[1].decode()
                if request.endswith(".ppd"):
                    self.ppd(connection, request.split("/")[-1][:-4])
                else:
                    self.ipp(connection, body)
        except OSError:
            pass
        finally:
            connection.close()

    def ipp(self, connection, request):
        """CUPS-Get-Default, CUPS-Get-Printers and Get-Printer-Attributes, as a
        server answers them."""
        def attribute(tag, name, value):
            return struct.pack(">BH", tag, len(name)) + name.encode() + struct.pack(">H", len(value)) + value
        operation, request_id = struct.unpack(">HI", request[2:8])
        named = [name for name in self.PRINTERS if b"/printers/" + name.encode() in request]
        printers = {0x4001: self.PRINTERS[:1], 0x4002: self.PRINTERS, 0x000B: named[:1]}.get(operation)
        answer = struct.pack(">BBHI", 2, 0, 0 if printers else 0x0501, request_id) + b"\x01" + \
            attribute(0x47, "attributes-charset", b"utf-8") + attribute(0x48, "attributes-natural-language", b"en")
        for name in printers or ():
            answer += b"\x04" + attribute(0x42, "printer-name", name.encode()) + \
                attribute(0x21, "printer-type", struct.pack(">i", 4)) + \
                attribute(0x44, "media-default", b"iso_a4_210x297mm")
        answer += b"\x03"
        connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\nContent-Length: %d\r\n\r\n"
                           % len(answer) + answer)

    def ppd(self, connection, name):
        self.asked[name] = self.asked.get(name, 0) + 1
        self.sent[name] = 0
        line = b"*DefaultPageSize: A4Small\n"
        start = b'*PPD-Adobe: "4.3"\n' + (line if name == "Early" else b"")
        end = line if name == "Late" else b""
        filler = (b"*% " + b"x" * 124 + b"\n") * 512
        connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/vnd.cups-ppd\r\n"
                           b"Content-Length: %d\r\n\r\n" % (len(start) + self.PPD_SIZE + len(end)) + start)
        for _ in range(self.PPD_SIZE // len(filler)):
            connection.sendall(filler)
            self.sent[name] += len(filler)
        connection.sendall(end)


class Checks:
    def __init__(self, bindir):
        self.bindir = bindir
        self.home = tempfile.mkdtemp(prefix="cups-test-")
        self.failures = 0

    def env(self, server, **extra):
        env = {k: v for k, v in os.environ.items()
               if not k.startswith("WINSHIM_") and k not in ("LPDEST", "PRINTER", "TESTPRINTER")}
        env.update(HOME=self.home, WINSHIM_REGISTRY=os.path.join(self.home, "registry"), LANG="C.UTF-8",
                   CUPS_SERVER=server)
        env.update(extra)
        return env

    def run(self, what, tool, args, env, stdin=None):
        """Runs a program; returns its output and then its errors, and fails
        the check where it did not end in time."""
        start = time.monotonic()
        try:
            proc = subprocess.run([os.path.join(self.bindir, tool)] + args, env=env, input=stdin,
                                  capture_output=True, text=True, timeout=10)
        except subprocess.TimeoutExpired as e:
            self.fail(what, f"{tool} {' '.join(args)} did not end within 10 s")
            return (e.stdout or b"").decode() + (e.stderr or b"").decode()
        took = time.monotonic() - start
        if took > LIMIT:
            cost = max(self.cost(tool, args, env, stdin) for _ in range(2))
            if took > BOUND + cost + SLACK:
                self.fail(what, f"{tool} {' '.join(args)} took {took:.2f} s, {cost:.2f} s of it start-up and exit")
        return proc.stdout + proc.stderr

    def cost(self, tool, args, env, stdin):
        """What the run costs besides CUPS: the same run over the store."""
        start = time.monotonic()
        subprocess.run([os.path.join(self.bindir, tool)] + args, env=dict(env, WINSHIM_PRINTERS="store"), input=stdin,
                       capture_output=True, text=True, timeout=10)
        return time.monotonic() - start

    def expect(self, what, got, want):
        if got != want:
            self.fail(what, f"expected\n{want}got\n{got}")

    def fail(self, what, detail):
        self.failures += 1
        print(f"FAIL {what}\n  " + detail.replace("\n", "\n  "))

    def store(self, *hives):
        registry = os.path.join(self.home, "registry")
        shutil.rmtree(registry, ignore_errors=True)
        os.makedirs(registry)
        for root, text in hives:
            with open(os.path.join(registry, root + ".reg"), "w") as f:
                f.write(text)

    def lpstat_default(self, env):
        out = subprocess.run(["lpstat", "-d"], env=env, capture_output=True, text=True, timeout=30).stdout
        return out.rsplit(":", 1)[1].strip() if "destination:" in out else None

    def default_printer(self, cups):
        """The default is the one lpstat -d names: the server's, the user's
        lpoptions default, LPDEST."""
        lpoptions = os.path.join(self.home, ".cups", "lpoptions")
        os.makedirs(os.path.dirname(lpoptions), exist_ok=True)
        for what, extra, text in (("the server's default", {}, None),
                                  ("the user's lpoptions default", {}, "Default Letters\n"),
                                  ("LPDEST over lpoptions", {"LPDEST": "Small"}, "Default Letters\n")):
            if text is None:
                if os.path.exists(lpoptions):
                    os.remove(lpoptions)
            else:
                with open(lpoptions, "w") as f:
                    f.write(text)
            env = self.env(cups.socket, **extra)
            name = self.lpstat_default(env)
            self.expect(what, self.run(what, "sheetwise", PAPER_ONLY, env).split("\n")[0],
                        f"Default printer: {name}")
        os.remove(lpoptions)

    def deleted_queue(self, cups):
        """Listed, then deleted, then opened: 1801; the others still open."""
        env = self.env(cups.socket)
        proc = subprocess.Popen([os.path.join(self.bindir, "printers"), "letters", "Office"], env=env,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        listed = [proc.stdout.readline() for _ in PRINTERS]
        subprocess.run(["lpadmin", "-x", "Letters"], env=cups.env(), check=True, timeout=30)
        out, _ = proc.communicate("\n", timeout=30)
        self.expect("a queue deleted between the listing and the open", "".join(listed) + out,
                    "Letters 1\nOffice 9\nSmall 11\nletters: error 1801\nOffice: ok\n")
        cups.set_printers(PRINTERS)

    def names(self, cups):
        """Each default, named by the server, LPDEST or lpoptions: the queue
        that lpstat -d names, without its instance, and that queue's paper
        (not an instance's own PageSize)."""
        cups.set_printers([("Bürodrucker", "A4Small", True), ("Office+2", "LetterSmall", False),
                           ("BÜRO", "Letter", False), ("Büro", "A4", False)])
        lpoptions = os.path.join(self.home, ".cups", "lpoptions")
        for what, extra, text, paper in (
                ("a name outside ASCII", {}, None, "a4small"),
                ("a name with a '+'", {"LPDEST": "Office+2"}, None, "letter-small"),
                ("the twin spelt Büro", {"LPDEST": "Büro"}, None, "a4"),
                ("the twin spelt BÜRO", {"LPDEST": "BÜRO"}, None, "letter"),
                ("an instance named by LPDEST", {"LPDEST": "Büro/draft"}, None, "a4"),
                ("an instance as the lpoptions default", {}, "Default Büro/draft PageSize=Letter\n", "a4")):
            if text:
                with open(lpoptions, "w") as f:
                    f.write(text)
            env = self.env(cups.socket, **extra)
            name = self.lpstat_default(env)
            if "instance" in what and "/" not in (name or ""):
                self.fail(what, f"lpstat -d names {name}, no instance")
            self.expect(what, self.run(what, "sheetwise", PAPER_ONLY, env),
                        f"Default printer: {(name or '').split('/')[0]}\nDefault paper type: ({paper})\n")
            if text:
                os.remove(lpoptions)

    def hostile(self):
        """An answer within 2 s whatever the server does; where the time ran
        out, the answer as far as it came, and one line that says so."""
        for kind, tool, want, said in (
                ("trickle", "sheetwise", NOT_FOUND, True),
                ("garbage", "sheetwise", NOT_FOUND, True),
                ("slow", "sheetwise", "Default printer: Early\n", True),
                ("huge", "sheetwise", "Default printer: Early\nDefault paper type: (a4small)\n", False),
                ("huge", "printers", "Early 10\nLate 9\n", False)):
            what = f"a server that answers {kind}: {tool}"
            with Hostile(kind) as server:
                self.store()
                got = self.run(what, tool, PAPER_ONLY if tool == "sheetwise" else [], self.env(server.path), "\n")
                self.expect(what, got, want + (gave_up(server.path) if said else ""))
                # Early is read up to its line, Late up to the 16 MiB cap.
                for name, count in server.asked.items():
                    if count != 1 or server.sent[name] > (16 + 4) << 20:
                        self.fail(what, f"{name}.ppd asked for {count} times, {server.sent[name]} bytes sent")

    def no_contact(self):
        """Runs that open no printer never connect; --paper does."""
        directory = tempfile.mkdtemp(prefix="cups-listen-")
        path = os.path.join(directory, "cups.sock")
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(path)
        listener.listen(8)
        listener.setblocking(False)
        env = self.env(path)
        self.store()

        def contacted():
            try:
                connection, _ = listener.accept()
                connection.close()
                return True
            except BlockingIOError:
                return False
        try:
            for tool, args in (("sheetwise", []), ("sheetwise", ["--points", "--inches"]),
                               ("sheetwise", ["--add=Card:U:10:20", "--set=Card:U:20:30", "--del=Card"]),
                               ("hivepeek", ["-a"]), ("hivepeek", ["-e", "HKLM\\SYSTEM"]), ("pinhome", ["-h"])):
                self.run("a run that opens no printer", tool, args, env)
                if contacted():
                    self.fail("a run that opens no printer", f"{tool} {' '.join(args)} contacted the server")
            # The listener never answers: 2 s, said, then the store.
            self.expect("a server that takes the connection and never answers",
                        self.run("a server that never answers", "sheetwise", PAPER_ONLY, env),
                        NOT_FOUND + gave_up(path))
            if not contacted():
                self.fail("a run that opens a printer", "sheetwise --paper did not contact the server")
        finally:
            listener.close()
            shutil.rmtree(directory)

    def faults(self, cups, pid):
        """A server that does not answer counts as none."""
        file = os.path.join(self.home, "not-a-socket")
        with open(file, "w") as f:
            f.write("cups\n")
        os.kill(pid, signal.SIGSTOP)
        try:
            self.faulty([("a stopped server", cups.socket, True)])
        finally:
            os.kill(pid, signal.SIGCONT)
        end_process(pid, cups.directory)
        # 192.0.2.1 is an address for documentation, which nothing answers:
        # a network may say so at once, or let the connection wait.
        self.faulty([("a server that is down", cups.socket, False), ("CUPS_SERVER naming a file", file, False),
                     ("an address that does not answer", "192.0.2.1", None)])

    def faulty(self, servers):
        """said: whether each run must say, once, that the time ran out (None:
        it may, as a network may refuse a connection at once or let it wait)."""
        for what, server, said in servers:
            env = self.env(server)

            def check(what, got, want, skip=0):
                told = got.count(gave_up(server))
                if told != (1 if said else 0) and not (said is None and told <= 1):
                    self.fail(what, f"told {told} times that the time ran out:\n{got}")
                self.expect(what, got.replace(gave_up(server), "").split("\n", skip)[skip], want)
            self.store()
            check(what, self.run(what, "sheetwise", PAPER_ONLY, env), NOT_FOUND)
            check(what, self.run(what, "sheetwise", ["--printer=Office"], env), NO_QUEUE, skip=3)
            self.store(("HKEY_LOCAL_MACHINE", STORE_PRINTER), ("HKEY_CURRENT_USER", STORE_DEFAULT))
            check(what + ": the store's printers", self.run(what, "sheetwise", PAPER_ONLY, env),
                  "Default printer: Kept\nDefault paper type: (legal)\n")


def main():
    checks = Checks(os.path.abspath(sys.argv[1]))
    cups, pid = Cups.start()
    try:
        cups.set_printers(PRINTERS)
        checks.store()
        checks.default_printer(cups)
        checks.deleted_queue(cups)
        checks.names(cups)
        checks.no_contact()
        checks.hostile()
        checks.faults(cups, pid)
    finally:
        end_process(pid, cups.directory)
        shutil.rmtree(cups.directory, ignore_errors=True)
        shutil.rmtree(checks.home, ignore_errors=True)
    print("cups server checks: " + ("ok" if not checks.failures else f"{checks.failures} failed"))
    return 1 if checks.failures else 0


if __name__ == "__main__":
    sys.exit(main())
