#!/usr/bin/env python3
"""Writes a large HKEY_CURRENT_USER hive for the benchmarks: GROUPS x KEYS keys
under Software\\Bench.

    make_hive.py PATH [GROUPS [KEYS]] [--values N] [--moved N | --shuffled]

By default each key has a value of one of the registry's types (and every
seventh one more), in the order an export lists them. --values 4 gives each
key four short values of mixed types instead, as hives that users have look
(now and then a hex list wrapped over lines, as regedit writes a long one).
--moved N then moves N keys, each with its values, to other places of the
file, as an edit by hand or a merge of two exports leaves a hive;
--shuffled puts every key in random order, as a script may write them. Both
are seeded: the same arguments give the same file.
"""

import argparse
import random


def one_value(keys):
    kinds = [
        lambda g, k: f'"name"="value of group {g} key {k}"',
        lambda g, k: f'"count"=dword:{(g * keys + k) & 0xffffffff:08x}',
        lambda g, k: '"blob"=hex:' + ",".join(f"{(g + k + i) & 255:02x}" for i in range(12)),
        lambda g, k: '"expand"=hex(2):25,50,41,54,48,25,5c,62,69,6e,00',
        lambda g, k: '"list"=hex(7):61,00,62,00,63,00,00,00',
        lambda g, k: '"big"=hex(b):01,02,03,04,05,06,07,08',
    ]

    def values(g, k):
        lines = [kinds[(g + k) % len(kinds)](g, k)]
        if k % 7 == 0:
            lines.append('"extra"="' + "x" * 40 + '"')
        return lines

    return values


def four_values(keys):
    wrapped = ('"path"=hex(2):25,00,53,00,79,00,73,00,74,00,65,00,6d,00,52,00,6f,00,6f,00,74,00,\\\n'
               '  25,00,5c,00,73,00,79,00,73,00,74,00,65,00,6d,00,33,00,32,00,00,00')
    kinds = [
        lambda g, k: f'"s"="v{k}"',
        lambda g, k: f'"n"=dword:{(g * keys + k) & 0xffffffff:08x}',
        lambda g, k: f'"b"=hex:{g & 255:02x},{k & 255:02x}',
        lambda g, k: f'@="g{g}"',
    ]

    def values(g, k):
        lines = [kinds[(g + k + i) % len(kinds)](g, k) for i in range(4)]
        if k % 64 == 5:
            lines[3] = wrapped
        return lines

    return values


def sections(groups, keys, values):
    """Each key's lines, a blank line closing them, in export order."""
    yield "[HKEY_CURRENT_USER\\Software\\Bench]\n\"top\"=\"here\"\n\n"
    for g in range(groups):
        yield f"[HKEY_CURRENT_USER\\Software\\Bench\\G{g:04d}]\n@=\"group {g}\"\n\n"
        for k in range(keys):
            yield (f"[HKEY_CURRENT_USER\\Software\\Bench\\G{g:04d}\\K{k:04d}]\n" + "\n".join(values(g, k)) +
                   "\n\n")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("path")
    parser.add_argument("groups", type=int, nargs="?", default=1000)
    parser.add_argument("keys", type=int, nargs="?", default=1000)
    parser.add_argument("--values", type=int, choices=(1, 4), default=1)
    order = parser.add_mutually_exclusive_group()
    order.add_argument("--moved", type=int, default=0)
    order.add_argument("--shuffled", action="store_true")
    args = parser.parse_args()
    values = (four_values if args.values == 4 else one_value)(args.keys)
    with open(args.path, "w", newline="\r\n") as out:
        out.write("REGEDIT4\n\n")
        if not args.moved and not args.shuffled:
            for text in sections(args.groups, args.keys, values):
                out.write(text)
            return
        texts = list(sections(args.groups, args.keys, values))
        shuffle = random.Random(20240611)
        if args.shuffled:
            shuffle.shuffle(texts)
        for _ in range(args.moved):
            text = texts.pop(shuffle.randrange(len(texts)))
            texts.insert(shuffle.randrange(len(texts) + 1), text)
        out.writelines(texts)


if __name__ == "__main__":
    main()
