"""Times the quillet_tree helpers against their standard-library counterparts
on the corpus: to_json against json.dumps, from_json against json.loads,
copy against copy.deepcopy, equal against ==, and pickle against a
picklable round trip. Prints the totals over the corpus and the ratios
within this one run (counterpart time / helper time: above 1 means the
helper is faster).

Usage: python benchmarks/tree_helpers.py [--corpus DIR] [--repeats N] [--min-time S]
"""
import argparse
import copy
import json
import pathlib
import pickle
import sys
import time

import quillet
import quillet_tree as qt

import machine

DEFAULT_CORPUS = pathlib.Path(__file__).resolve().parents[1].parent / "shared" / "corpus"


def best(fn, repeats, min_time):
    """Best time of one call, over `repeats` timeit-style loops of >= min_time seconds."""
    loops, times = 1, []
    while True:
        start = time.perf_counter()
        for _ in range(loops):
            fn()
        spent = time.perf_counter() - start
        if spent >= min_time:
            break
        loops *= 2
    times.append(spent / loops)
    for _ in range(repeats - 1):
        start = time.perf_counter()
        for _ in range(loops):
            fn()
        times.append((time.perf_counter() - start) / loops)
    return min(times)


def pairs(tree, other, copied):
    """(name, helper, counterpart) for one document's tree; `other` is the same
    document parsed again (equal strs, other objects) and `copied` a copy
    (sharing every str with `tree`)."""
    text = json.dumps(tree)
    return [
        ("to_json / json.dumps", lambda: qt.to_json(tree), lambda: json.dumps(tree)),
        ("from_json / json.loads", lambda: qt.from_json(text), lambda: json.loads(text)),
        ("copy / copy.deepcopy", lambda: qt.copy(tree), lambda: copy.deepcopy(tree)),
        ("equal / == (2 parses)", lambda: qt.equal(tree, other), lambda: tree == other),
        ("equal / == (copy)", lambda: qt.equal(tree, copied), lambda: tree == copied),
        ("picklable / pickle", lambda: pickle.loads(pickle.dumps(qt.picklable(tree))),
         lambda: pickle.loads(pickle.dumps(tree))),
    ]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--corpus", type=pathlib.Path, default=DEFAULT_CORPUS)
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--min-time", type=float, default=0.05)
    args = ap.parse_args()
    paths = sorted(p for p in args.corpus.iterdir() if p.name != "SOURCES.md")
    if not paths:
        sys.exit(f"no documents in {args.corpus}")
    print(machine.describe())
    print(f"{len(paths)} documents of the corpus")
    print(f"times: best of {args.repeats} loops of >= {args.min_time} s per document; "
          "ratio = counterpart time / helper time")
    totals = {}
    parse_total = 0.0
    for path in paths:
        source = path.read_text(encoding="utf-8")
        tree = quillet.parse(source)
        parse_total += best(lambda: quillet.parse(source), args.repeats, args.min_time)
        for name, helper, counterpart in pairs(tree, quillet.parse(source), qt.copy(tree)):
            h = best(helper, args.repeats, args.min_time)
            c = best(counterpart, args.repeats, args.min_time)
            total = totals.setdefault(name, [0.0, 0.0, float("inf"), ""])
            total[0] += h
            total[1] += c
            if c / h < total[2]:
                total[2:] = [c / h, path.name]
    print()
    print(f"{'helper / counterpart':<24}{'helper ms':>11}{'stdlib ms':>11}{'ratio':>8}"
          f"{'worst doc ratio':>17}  worst document")
    for name, (h, c, worst, worst_doc) in totals.items():
        print(f"{name:<24}{h * 1e3:>11.2f}{c * 1e3:>11.2f}{c / h:>8.2f}{worst:>17.2f}  {worst_doc}")
    pickle_ms = totals["picklable / pickle"][1] * 1e3
    print(f"\nparse: {parse_total * 1e3:.2f} ms over the corpus; pickle dumps+loads of the trees: "
          f"{pickle_ms:.2f} ms ({pickle_ms / (parse_total * 1e3):.2f} times the parse time)")


if __name__ == "__main__":
    main()
