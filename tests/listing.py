#!/usr/bin/env python3
"""sheetwise's listing of 10,000 user forms against a model of the listing,
line for line:
sizes of every magnitude and sign, positions past 1000 and 10000, names cut
where a row ends, and names outside ASCII.

    tests/listing.py BINDIR

Natively only: the model computes the sizes in Python's doubles, as the
x86-64 build does, and formats them with "%8.3f", as glibc does.
"""

import os
import random
import re
import subprocess
import sys
import tempfile

FORMS_KEY = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Forms"
BUILTIN_FORMS = 116
TEXT_SIZE = 256


def sizes(rng):
    """Thousandths of a millimetre: any 32-bit value, small ones of either
    sign, and the ends of the range."""
    pick = rng.randrange(4)
    if pick == 0:
        return rng.randrange(-2**31, 2**31)
    if pick == 1:
        return rng.randrange(-20, 21)
    if pick == 2:
        return rng.choice((-2**31, 2**31 - 1, -1, 0, 1))
    return rng.randrange(1, 3_000_000)


def user_forms(count):
    rng = random.Random(1127)
    forms = []
    for i in range(count):
        name = f"Form {i:05d} " + rng.choice(("A4", "Quer", "Größe", "x" * rng.randrange(200, 300)))
        forms.append((name, sizes(rng), sizes(rng), rng.choice((0, 0, 1, 2, 7))))
    return forms


def hive(forms):
    lines = ["REGEDIT4", "", f"[{FORMS_KEY}]"]
    for index, (name, cx, cy, flags) in enumerate(forms):
        fields = (cx, cy, 0, 0, max(cx, 0), max(cy, 0), BUILTIN_FORMS + 1 + index, flags)
        data = b"".join((f & 0xFFFFFFFF).to_bytes(4, "little") for f in fields)
        lines.append(f'"{name}"=hex:' + ",".join(f"{b:02x}" for b in data))
    return "\r\n".join(lines) + "\r\n"


def model(forms):
    """The lines of the user forms, as the listing writes them."""
    for position, (name, cx, cy, flags) in enumerate(forms, start=BUILTIN_FORMS):
        width, height = cx / 1000.0, cy / 1000.0
        head = " [%3d] " % position
        letter = {0: "U", 1: "B", 2: "P"}.get(flags, "?")
        yield (head + "%s %8.3f %8.3f mm    %s" % (letter, width, height, name))[:TEXT_SIZE - 1]
        under = " " * (len(head) + 1)
        yield under + " %8.3f %8.3f pts" % (width * 72.0 / 25.4, height * 72.0 / 25.4)
        yield under + " %8.3f %8.3f in" % (width / 25.4, height / 25.4)


def main():
    bindir = sys.argv[1]
    forms = user_forms(10000)
    with tempfile.TemporaryDirectory(prefix="listing-") as store:
        with open(os.path.join(store, "HKEY_LOCAL_MACHINE.reg"), "w", encoding="utf-8", newline="") as f:
            f.write(hive(forms))
        env = {k: v for k, v in os.environ.items() if not k.startswith("WINSHIM_")}
        env.update(WINSHIM_REGISTRY=store, LANG="C.UTF-8", HOME=store)
        env.pop("LC_ALL", None)
        proc = subprocess.run([os.path.join(bindir, "sheetwise"), "--points", "--inches"], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    if proc.returncode != 0 or proc.stderr:
        sys.exit(f"sheetwise: status {proc.returncode}: {proc.stderr.decode(errors='replace')}")
    lines = proc.stdout.decode("utf-8").split("\n")
    header = next(i for i, line in enumerate(lines) if line.startswith("PRINTSERVER FORMS"))
    match = re.fullmatch(r"PRINTSERVER FORMS \((\d+) forms, (\d+) bytes\)", lines[header])
    if not match or int(match[1]) != BUILTIN_FORMS + len(forms):
        sys.exit(f"unexpected header: {lines[header]!r}")
    got = lines[header + 1 + 3 * BUILTIN_FORMS:]
    want = list(model(forms)) + [""]
    for number, (a, b) in enumerate(zip(got, want)):
        if a != b:
            sys.exit(f"user form line {number}:\n  got  {a!r}\n  want {b!r}")
    if len(got) != len(want):
        sys.exit(f"{len(got)} lines after the built-in forms, {len(want)} expected")
    print(f"{len(forms)} user forms, {match[2]} bytes: every line as the model writes it")


if __name__ == "__main__":
    main()
