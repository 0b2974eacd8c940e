#!/usr/bin/env python3
"""Writes an HKEY_CURRENT_USER hive with one key of many subkeys, for the
subkey listing's benchmark: Software\\Wide\\K0000000 ... each with a value."""

import sys


def main():
    path = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 522000
    with open(path, "w", newline="\r\n") as out:
        out.write("REGEDIT4\n\n")
        for i in range(count):
            out.write(f"[HKEY_CURRENT_USER\\Software\\Wide\\K{i:07d}]\n\"v\"=dword:{i:08x}\n\n")


if __name__ == "__main__":
    main()
