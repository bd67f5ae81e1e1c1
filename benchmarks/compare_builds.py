"""Times two builds of quillet against each other in one process: parse and
the C++ tree helpers of each, loaded side by side from two site-packages
folders (say, a virtual environment with the last release and this
checkout's), alternating call by call on every corpus document. Prints the
best time of each over the rounds, summed over the corpus, and new/old.

Usage: python benchmarks/compare_builds.py OLD_SITE_PACKAGES NEW_SITE_PACKAGES
           [--rounds N] [--only NAME,...] [--corpus DIR]
"""
import argparse
import glob
import importlib.util
import json
import pathlib
import sys
import time

DEFAULT_CORPUS = pathlib.Path(__file__).resolve().parents[1].parent / "shared" / "corpus"


def load(site, name, filename):
    """The extension module `name` from `site`/`filename`*, outside sys.modules."""
    paths = glob.glob(str(pathlib.Path(site) / filename) + "*.so")
    if not paths:
        raise SystemExit(f"no {filename}*.so in {site}")
    found = importlib.util.spec_from_file_location(name, paths[0])
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("old")
    ap.add_argument("new")
    ap.add_argument("--rounds", type=int, default=15)
    ap.add_argument("--only", default="", help="comma-separated parts of case names")
    ap.add_argument("--corpus", type=pathlib.Path, default=DEFAULT_CORPUS)
    args = ap.parse_args()
    builds = {}
    for label, site in (("old", args.old), ("new", args.new)):
        builds[label] = (load(site, "quillet", "quillet.cpython"),
                         load(site, "quillet_tree._native", "quillet_tree/_native.cpython"))
    paths = sorted(p for p in args.corpus.glob("*") if p.name != "SOURCES.md")
    texts = [p.read_text(encoding="utf-8") for p in paths]
    parse = builds["new"][0].parse
    trees = [parse(t) for t in texts]
    others = [parse(t) for t in texts]
    copies = [builds["new"][1].copy(t) for t in trees]
    dumped = [json.dumps(t) for t in trees]
    cases = {
        "parse": lambda q, n, i: q.parse(texts[i]),
        "to_json": lambda q, n, i: n.to_json(trees[i], True),
        "from_json": lambda q, n, i: n.from_json(dumped[i]),
        "copy": lambda q, n, i: n.copy(trees[i]),
        "equal (2 parses)": lambda q, n, i: n.equal(trees[i], others[i]),
        "equal (copy)": lambda q, n, i: n.equal(trees[i], copies[i]),
        "text_runs": lambda q, n, i: n.text_runs(trees[i], None),
        "to_markup (C++ part)": lambda q, n, i: n.to_markup(trees[i]),
    }
    only = [o for o in args.only.split(",") if o]
    print(f"python {sys.version.split()[0]}, {len(paths)} documents; best of {args.rounds} "
          "alternating rounds per document, summed")
    for name, fn in cases.items():
        if only and not any(o in name for o in only):
            continue
        total = {"old": 0.0, "new": 0.0}
        for i in range(len(texts)):
            best = {"old": float("inf"), "new": float("inf")}
            for r in range(args.rounds):
                for label in ("old", "new") if r % 2 else ("new", "old"):
                    q, n = builds[label]
                    start = time.perf_counter()
                    fn(q, n, i)
                    best[label] = min(best[label], time.perf_counter() - start)
            for label in total:
                total[label] += best[label]
        print(f"{name:22} old {total['old'] * 1e3:8.2f} ms  new {total['new'] * 1e3:8.2f} ms"
              f"  new/old {total['new'] / total['old']:.3f}")


if __name__ == "__main__":
    main()
