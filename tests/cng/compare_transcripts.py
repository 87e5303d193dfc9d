"""Compares the CNG scenario's transcripts from the stand-in and from Wine.

Usage: compare_transcripts.py KNOWN_DIFFERENCES STANDIN_TRANSCRIPT WINE_TRANSCRIPT

A transcript line is "step: field=value ..."; lines starting with "#" are
comments. A step or field present on one side only, or a field whose values
differ, fails the comparison unless a line of KNOWN_DIFFERENCES
("step pattern | field pattern | reason", shell-style patterns) covers it.
A published test vector reproduced wrongly ("vector=WRONG") fails on either
side, since two implementations could agree on a wrong answer. Entries that
no longer match any difference are reported but do not fail.
"""
import fnmatch
import sys


def read_transcript(path):
    """{(step, occurrence): {field: value}} in file order."""
    steps, seen = {}, {}
    with open(path, encoding="utf-8") as transcript:
        for line in transcript:
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            step, _, rest = line.partition(": ")
            seen[step] = seen.get(step, 0) + 1
            steps[(step, seen[step])] = dict(field.split("=", 1) for field in rest.split())
    return steps


def read_known(path):
    known = []
    with open(path, encoding="utf-8") as listing:
        for number, line in enumerate(listing, 1):
            if not line.strip() or line.startswith("#"):
                continue
            parts = [part.strip() for part in line.split("|", 2)]
            if len(parts) != 3 or not all(parts):
                sys.exit("%s:%d: expected 'step | field | reason'" % (path, number))
            known.append(parts + [number])
    return known


def main(known_path, standin_path, wine_path):
    known = read_known(known_path)
    standin, wine = read_transcript(standin_path), read_transcript(wine_path)
    used, unexplained, wrong = set(), [], []
    for key in list(standin) + [k for k in wine if k not in standin]:
        ours, theirs = standin.get(key), wine.get(key)
        if ours is None or theirs is None:
            fields = ["(step)"]
        else:
            fields = [f for f in list(ours) + [f for f in theirs if f not in ours]
                      if ours.get(f) != theirs.get(f)]
        for side, name in ((ours, "stand-in"), (theirs, "wine")):
            if side and side.get("vector") == "WRONG":
                wrong.append("%s: %s got a published vector wrong" % (key[0], name))
        for field in fields:
            entry = next((e for e in known if fnmatch.fnmatchcase(key[0], e[0])
                          and fnmatch.fnmatchcase(field, e[1])), None)
            if entry is not None:
                used.add(entry[3])
                continue
            show = lambda side: "(missing)" if side is None else side.get(field, "(absent)")
            unexplained.append("%s: %s stand-in=%s wine=%s" % (key[0], field, show(ours), show(theirs)))
    for entry in known:
        if entry[3] not in used:
            print("note: known difference no longer seen (line %d): %s | %s" % (entry[3], entry[0], entry[1]))
    print("%d steps compared; %d of %d known differences seen" % (len(standin), len(used), len(known)))
    for problem in wrong + unexplained:
        print("DIFFERENCE " + problem if problem in unexplained else "WRONG " + problem)
    return 1 if wrong or unexplained else 0


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
