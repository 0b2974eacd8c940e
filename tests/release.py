#!/usr/bin/env python3
"""Checks the Windows release archive, or the programs of the 64-bit build.

    release.py ARCHIVE VERSION OBJDUMP
    release.py --win64 BIN_DIR OBJDUMP

The archive holds bin/hivepeek.exe, bin/sheetwise.exe, bin/pinhome.exe and
INSTALL.txt, nothing else; the text has Windows line ends and names the
version; each program is a 32-bit console program whose import table names
only DLLs that come with Windows. The 64-bit build's programs are the same,
as 64-bit programs.
"""

import os
import re
import subprocess
import sys
import tempfile
import zipfile

PROGRAMS = ["bin/hivepeek.exe", "bin/sheetwise.exe", "bin/pinhome.exe"]
# Windows' own libraries, as the import table spells them (case aside).
SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "user32.dll", "winspool.drv", "msvcrt.dll"}


def check_program(objdump, path, failures, bits=32):
    dump = subprocess.run([objdump, "-p", path], check=True, capture_output=True, text=True).stdout
    name = os.path.basename(path)
    file_format, magic = ("pei-i386", r"010b\s+\(PE32\)") if bits == 32 else ("pei-x86-64", r"020b\s+\(PE32\+\)")
    if f"file format {file_format}" not in dump:
        failures.append(f"{name}: not a {bits}-bit x86 PE file")
    if not re.search(rf"^Magic\s+{magic}", dump, re.M):
        failures.append(f"{name}: no {'PE32' if bits == 32 else 'PE32+'} optional header")
    if not re.search(r"^Subsystem\s+00000003\s+\(Windows CUI\)", dump, re.M):
        failures.append(f"{name}: not a console program")
    dlls = re.findall(r"^\s*DLL Name: (\S+)", dump, re.M)
    if "kernel32.dll" not in (d.lower() for d in dlls):
        failures.append(f"{name}: no import table read ({dlls})")
    for dll in dlls:
        if dll.lower() not in SYSTEM_DLLS:
            failures.append(f"{name}: needs {dll}, which does not come with Windows")
    print(f"{name}: {', '.join(dlls)}")


def check_win64(bindir, objdump):
    failures = []
    for program in PROGRAMS:
        check_program(objdump, os.path.join(bindir, os.path.basename(program)), failures, bits=64)
    for failure in failures:
        print("FAIL:", failure)
    return 1 if failures else 0


def main():
    if sys.argv[1] == "--win64":
        return check_win64(*sys.argv[2:4])
    archive, version, objdump = sys.argv[1:4]
    failures = []
    expected_name = f"tessel-wintools-{version}-win32.zip"
    if os.path.basename(archive) != expected_name:
        failures.append(f"archive named {os.path.basename(archive)}, not {expected_name}")
    with zipfile.ZipFile(archive) as z, tempfile.TemporaryDirectory() as tmp:
        files = sorted(i.filename for i in z.infolist() if not i.is_dir())
        if files != sorted(PROGRAMS + ["INSTALL.txt"]):
            failures.append(f"archive holds {files}")
        text = z.read("INSTALL.txt") if "INSTALL.txt" in files else b""
        if b"\n" in text.replace(b"\r\n", b"") or not text.endswith(b"\r\n"):
            failures.append("INSTALL.txt has line ends other than CRLF")
        if f"tessel-wintools {version}".encode() not in text or b"bin" not in text:
            failures.append("INSTALL.txt does not name the version and the bin folder")
        for program in PROGRAMS:
            if program in files:
                check_program(objdump, z.extract(program, tmp), failures)
    for failure in failures:
        print("FAIL:", failure)
    if not failures:
        print(f"{expected_name}: {len(files)} files, all as they should be")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
