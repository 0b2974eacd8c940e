#!/usr/bin/env python3
"""Writes a large HKEY_CURRENT_USER hive for the benchmarks: GROUPS x KEYS keys
under Software\\Bench, each with a value of one of the registry's types."""

import sys


def main():
    path = sys.argv[1]
    groups = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
    keys = int(sys.argv[3]) if len(sys.argv) > 3 else 1000
    kinds = [
        lambda g, k: f'"name"="value of group {g} key {k}"',
        lambda g, k: f'"count"=dword:{(g * keys + k) & 0xffffffff:08x}',
        lambda g, k: '"blob"=hex:' + ",".join(f"{(g + k + i) & 255:02x}" for i in range(12)),
        lambda g, k: '"expand"=hex(2):25,50,41,54,48,25,5c,62,69,6e,00',
        lambda g, k: '"list"=hex(7):61,00,62,00,63,00,00,00',
        lambda g, k: '"big"=hex(b):01,02,03,04,05,06,07,08',
    ]
    with open(path, "w", newline="\r\n") as out:
        out.write("REGEDIT4\n\n")
        out.write("[HKEY_CURRENT_USER\\Software\\Bench]\n\"top\"=\"here\"\n\n")
        for g in range(groups):
            out.write(f"[HKEY_CURRENT_USER\\Software\\Bench\\G{g:04d}]\n@=\"group {g}\"\n\n")
            for k in range(keys):
                out.write(f"[HKEY_CURRENT_USER\\Software\\Bench\\G{g:04d}\\K{k:04d}]\n")
                out.write(kinds[(g + k) % len(kinds)](g, k) + "\n")
                if k % 7 == 0:
                    out.write('"extra"="' + "x" * 40 + '"\n')
                out.write("\n")


if __name__ == "__main__":
    main()
