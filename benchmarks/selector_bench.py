#!/usr/bin/env python3
"""Times quillet_tree's CSS selectors against their peers, and their scaling.

    python benchmarks/selector_bench.py                    # both sections
    python benchmarks/selector_bench.py --rounds 1 --pages web-bbc.html,fragment-small.html
    python benchmarks/selector_bench.py --sections scaling --n 4096

Section "corpus": everyday selectors over every corpus page, on trees each
library has already built (parsing is never timed):
  quillet      quillet_tree.compile(sel) once, then .select(tree)
  soupsieve    BeautifulSoup(text, "lxml").select(sel) (soupsieve caches
               what it compiles)
  cssselect    cssselect's CSSSelector(sel) compiled once, called on
               lxml.html.document_fromstring(text)
  lexbor       selectolax.lexbor.LexborHTMLParser(text).css(sel)
  modest       selectolax.parser.HTMLParser(text).css(sel), where the
               installed selectolax still has it
Each library's time for a selector is the best of --rounds rounds, a round
being one pass over every page; peer time / quillet time is shown as
"N× faster" (or "N× slower"). The libraries build different trees from the
same page, so the match counts are printed too, to show the queries find
about the same elements.

Section "scaling": quillet alone, on trees built directly as lists and dicts
of n, 2n, 4n and 8n elements, in shapes where matching done naively costs
time quadratic in the depth or the width. It prints the time per element at
each size and the ratio largest / smallest of those; about 1 means linear.
"""

import argparse
import gc
import math
import os
import signal
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import machine  # noqa: E402
from peers import _lxml_input  # noqa: E402
from run import corpus_files, fmt_num, print_table  # noqa: E402

DEFAULT_CORPUS = os.path.join(os.path.dirname(HERE), "..", "shared", "corpus")

# Everyday queries. The class and id queries are fitted to what the corpus
# holds: Wikipedia's external links, the "content" blocks of the news and
# documentation pages, navigation links.
SELECTORS = (
    "title",
    "a[href]",
    "[id]",
    "h1, h2, h3",
    "ul > li",
    "li:last-child",
    "h2 + p",
    "table tr:nth-child(2n)",
    "meta[name][content]",
    "p:has(> a)",
    ":not(div) > span",
    "div#content a.external",
    "div.content a",
    "nav a",
)

# Counts within this share of quillet's (or this many apart) count as agreeing.
AGREE_SHARE = 0.10
AGREE_SLACK = 5


# -- environment -----------------------------------------------------------------

def versions(names):
    from importlib import metadata
    out = []
    for name in names:
        try:
            out.append("%s %s" % (name, metadata.version(name)))
        except metadata.PackageNotFoundError:
            out.append("%s n/a" % name)
    return ", ".join(out)


def require_select():
    """Exits with a clear message when the installed quillet_tree has no
    selector engine."""
    try:
        import quillet_tree
    except ImportError:
        sys.exit("quillet_tree is not importable: pip install . first")
    missing = [name for name in ("select", "compile") if not hasattr(quillet_tree, name)]
    if missing:
        sys.exit("the installed quillet_tree has no %s: it predates the selector engine; "
                 "install a quillet that has it and run again"
                 % " or ".join("%s()" % m for m in missing))


# -- timing ----------------------------------------------------------------------

class Timeout(Exception):
    pass


def _alarm(signum, frame):
    raise Timeout


def timed(call, loops=1, budget=None):
    """Seconds per call over `loops` calls; raises Timeout past `budget`
    seconds (the helpers run signal handlers as they go, so an alarm stops
    a call that crawls)."""
    if budget:
        signal.signal(signal.SIGALRM, _alarm)
        signal.setitimer(signal.ITIMER_REAL, budget)
    try:
        start = time.perf_counter()
        for _ in range(loops):
            call()
        return (time.perf_counter() - start) / loops
    finally:
        if budget:
            signal.setitimer(signal.ITIMER_REAL, 0)


def loops_for(first_time, min_time):
    """How many calls make one measurement of at least min_time seconds."""
    if first_time >= min_time:
        return 1
    return min(10_000, math.ceil(min_time / max(first_time, 1e-7)))


def ratio_words(peer, quillet):
    """peer time / quillet time as "N× faster", or quillet / peer as "N× slower"."""
    if not peer or not quillet:
        return "-"
    r = peer / quillet
    if r >= 1:
        return "%s× faster" % fmt_num(r)
    return "%s× slower" % fmt_num(1 / r)


# -- corpus section ----------------------------------------------------------------

class Library:
    """One library: how it builds its tree from a page, and how it runs a
    selector on that tree. `compile` is called once per selector, outside the
    timed calls; `run(compiled, tree)` returns the list of matches."""

    def __init__(self, name, description, build, compile, run):
        self.name = name
        self.description = description
        self.build = build
        self.compile = compile
        self.run = run


def why(exc):
    """A short reason for an ImportError, without the file paths some hold."""
    if isinstance(exc, ModuleNotFoundError):
        return "%s is not installed" % exc.name
    return str(exc).split(". ")[0].split(" (")[0]


def libraries():
    """(available libraries, {name: reason} for those that are not)."""
    found, missing = [], {}

    import quillet
    import quillet_tree
    found.append(Library("quillet", "quillet_tree.compile(sel) once, then .select(tree)",
                         quillet.parse, quillet_tree.compile, lambda s, tree: s.select(tree)))
    try:
        from bs4 import BeautifulSoup
        import soupsieve  # noqa: F401  (bs4's select needs it)
        try:  # the feeds and XHTML books are read as HTML on purpose, as by the others
            import warnings
            from bs4 import XMLParsedAsHTMLWarning
            warnings.filterwarnings("ignore", category=XMLParsedAsHTMLWarning)
        except ImportError:
            pass
        found.append(Library("soupsieve", 'BeautifulSoup(text, "lxml").select(sel)',
                             lambda text: BeautifulSoup(text, "lxml"),
                             lambda sel: sel, lambda sel, soup: soup.select(sel)))
    except ImportError as exc:
        missing["soupsieve"] = why(exc)
    try:
        from lxml import html
        from lxml.cssselect import CSSSelector

        def lxml_build(text):
            return html.document_fromstring(_lxml_input(html.document_fromstring, text))
        found.append(Library("cssselect", "CSSSelector(sel) once, called on "
                             "lxml.html.document_fromstring(text)",
                             lxml_build, CSSSelector, lambda s, root: s(root)))
    except ImportError as exc:
        missing["cssselect"] = why(exc)
    for name, module, cls in (("lexbor", "selectolax.lexbor", "LexborHTMLParser"),
                              ("modest", "selectolax.parser", "HTMLParser")):
        try:
            parser = getattr(__import__(module, fromlist=[cls]), cls)
        except ImportError as exc:
            missing[name] = why(exc)
            continue
        found.append(Library(name, "%s(text).css(sel)" % cls, parser,
                             lambda sel: sel, lambda sel, tree: tree.css(sel)))
    return found, missing


def run_corpus(args, selectors, progress):
    docs = corpus_files(args.corpus)
    if args.pages:
        wanted = [p.strip() for p in args.pages.split(",") if p.strip()]
        unknown = sorted(set(wanted) - {name for name, _ in docs})
        if unknown:
            sys.exit("not in the corpus: %s" % ", ".join(unknown))
        docs = [(name, doc) for name, doc in docs if name in wanted]
    if not docs:
        print("\nno corpus documents found (give --corpus): corpus section skipped")
        return
    libs, missing = libraries()
    print("\nlibraries (trees built before timing; the collector is on, the trees "
          "frozen out of its passes):")
    for lib in libs:
        print("  %-10s %s" % (lib.name, lib.description))
    for name, reason in missing.items():
        print("  %-10s n/a (%s)" % (name, reason))
    compiled = {}
    for lib in libs:
        for sel in selectors:
            try:
                compiled[lib.name, sel] = lib.compile(sel)
            except Exception as exc:  # a peer that cannot read the selector
                compiled[lib.name, sel] = exc
    # rounds[lib, sel][r]: round r's total over the pages; counts[lib, sel]:
    # matches over the pages; failed[lib, sel]: why a library gave up.
    rounds = {key: [0.0] * args.rounds for key in compiled}
    counts = {key: 0 for key in compiled}
    failed = {key: "unsupported" for key, c in compiled.items() if isinstance(c, Exception)}
    for i, (name, doc) in enumerate(docs, 1):
        with open(doc["path"], encoding="utf-8") as f:
            text = f.read()
        trees = {}
        for lib in libs:
            progress("page %d/%d %s: %s builds its tree" % (i, len(docs), name, lib.name))
            trees[lib.name] = lib.build(text)
        gc.collect()
        gc.freeze()
        loops = {}
        for sel in selectors:
            progress("page %d/%d %s: %s" % (i, len(docs), name, sel))
            for lib in libs:
                key = lib.name, sel
                if key in failed:
                    continue
                c, tree = compiled[key], trees[lib.name]
                try:
                    start = time.perf_counter()
                    counts[key] += len(lib.run(c, tree))
                    loops[key] = loops_for(time.perf_counter() - start, args.min_time)
                except Exception as exc:
                    failed[key] = "error: %s" % type(exc).__name__
        # By default each library runs every selector on its own tree in a
        # row, as a program that parses a page and then queries it does.
        # --interleave runs the libraries one after another for each
        # selector instead, so that each finds its tree pushed out of the
        # processor's caches by the others'.
        if args.interleave:
            order = [(lib, sel) for sel in selectors for lib in libs]
        else:
            order = [(lib, sel) for lib in libs for sel in selectors]
        for r in range(args.rounds):
            for lib, sel in order:
                key = lib.name, sel
                if key in loops:
                    c, tree, run = compiled[key], trees[lib.name], lib.run
                    rounds[key][r] += timed(lambda: run(c, tree), loops[key])
        del trees
        gc.unfreeze()
        gc.collect()
    progress("")
    report_corpus(libs, selectors, rounds, counts, failed, len(docs), args.rounds, args.interleave)


def report_corpus(libs, selectors, rounds, counts, failed, n_docs, n_rounds, interleave):
    names = [lib.name for lib in libs]
    peers = names[1:]

    def best(key):
        return None if key in failed else min(rounds[key])

    header = ["selector"] + ["%s ms" % n for n in names] + \
             ["%s÷quillet" % p for p in peers]
    rows = []
    total = {n: 0.0 for n in names}
    complete = {n: True for n in names}
    for sel in selectors:
        q = best(("quillet", sel))
        row = [sel]
        for n in names:
            t = best((n, sel))
            row.append(failed[n, sel] if t is None else fmt_num(t * 1000))
            if t is None:
                complete[n] = False
            else:
                total[n] += t
        row += [ratio_words(best((p, sel)), q) for p in peers]
        rows.append(row)
    # The totals' ratios count only the selectors both sides ran.
    row = ["total (%d selectors)" % len(selectors)]
    row += [fmt_num(total[n] * 1000) + ("" if complete[n] else "*") for n in names]
    for p in peers:
        both = [s for s in selectors if ("quillet", s) not in failed and (p, s) not in failed]
        row.append(ratio_words(sum(best((p, s)) for s in both),
                               sum(best(("quillet", s)) for s in both)))
    rows.append(row)
    print_table("Selector time over the corpus (%d pages), ms: each the best of %d "
                "round(s) of one pass over every page, %s" % (
                    n_docs, n_rounds, "the libraries interleaved for each selector" if interleave
                    else "each library's selectors in a row on its tree"),
                header, rows,
                ["* over the selectors that library ran; the ratios of the total use "
                 "the selectors both sides ran"])

    rows = []
    for sel in selectors:
        q = counts["quillet", sel]
        row = [sel] + [failed.get((n, sel)) or counts[n, sel] for n in names]
        differ = [p for p in peers if (p, sel) not in failed and
                  abs(counts[p, sel] - q) > max(AGREE_SLACK, AGREE_SHARE * max(q, counts[p, sel]))]
        row.append("differs: " + ", ".join(differ) if differ else "agree")
        rows.append(row)
    print_table("Matches over the corpus, per library", ["selector"] + names + ["counts"], rows,
                ["agree: within %d%% or %d of quillet's count. The parsers build different "
                 "trees: quillet keeps markup outside its syntax (<meta> without '/', "
                 "unquoted or single-quoted attributes) as text, the HTML parsers repair "
                 "it and add html, head, body and tbody; quillet's [id] needs a "
                 "non-empty id" % (AGREE_SHARE * 100, AGREE_SLACK)])


# -- scaling section -------------------------------------------------------------

SCALING_SELECTORS = (
    "div div div",
    ":has(a)",
    ":has(~ p)",
    ":nth-child(2n+1 of .x)",
    ":nth-last-child(1 of p)",
    ":not(:has(> a)) span",
    "a + b ~ c",
)

_NO_CLASS = [""]
_CLASS_X = ["x"]


def el(tag, x=False):
    """An element as parse makes it (the classes lists are shared: selectors
    only read them)."""
    return {"tag": tag, "id": "", "classes": _CLASS_X if x else _NO_CLASS, "style": "",
            "is_self_closing": False, "children": []}


def chain(n):
    """n - 1 nested divs, the innermost holding an a: every div has an a
    below it, n levels down at worst."""
    top = node = el("div")
    for _ in range(n - 2):
        child = el("div")
        node["children"] += ["t", child]
        node = child
    node["children"].append(el("a"))
    return [top]


def comb(n):
    """Nested spans, each holding a text run, an a and a div before the next
    span: no div has a div above it, and every span's parent has an a child."""
    top = node = el("span")
    for _ in range(n // 3 - 1):
        child = el("span")
        node["children"] += ["t", el("a"), el("div"), child]
        node = child
    return [top]


def wide(n):
    """One div holding n - 1 children, b, c and span in turn, every other one
    of class x, and a single p at the end."""
    kids = [el(("b", "c", "span")[i % 3], i % 2 == 0) for i in range(n - 2)]
    top = el("div")
    top["children"] = kids + ["t", el("p")]
    return [top]


def wide_p(n):
    """One div holding n - 1 p children, every other one of class x."""
    top = el("div")
    top["children"] = [el("p", i % 2 == 0) for i in range(n - 1)]
    return [top]


def forest(n):
    """About sqrt(n) top-level chains, each about sqrt(n) deep, of div, span
    and p in turn (every other level of class x), each ending in an a."""
    side = max(2, math.isqrt(n))
    tops = []
    for w in range(side):
        top = node = el(("div", "p", "c", "b")[w % 4], w % 2 == 0)
        for d in range(1, side - 1):
            child = el(("div", "span", "p")[d % 3], d % 2 == 0)
            node["children"] += ["t", child]
            node = child
        node["children"].append(el("a"))
        tops.append(top)
    return tops


SHAPES = {"chain": chain, "comb": comb, "wide": wide, "wide_p": wide_p, "forest": forest}


def count_elements(tree):
    n, stack = 0, [tree]
    while stack:
        for node in stack.pop():
            if isinstance(node, dict):
                n += 1
                stack.append(node["children"])
    return n


def run_scaling(args, progress):
    import quillet_tree
    sizes = [args.n * k for k in (1, 2, 4, 8)]
    compiled = {sel: quillet_tree.compile(sel) for sel in SCALING_SELECTORS}
    shapes = [s.strip() for s in args.shapes.split(",") if s.strip()]
    unknown = [s for s in shapes if s not in SHAPES]
    if unknown:
        sys.exit("unknown shape %s (choose from %s)" % (", ".join(unknown), ", ".join(SHAPES)))
    # results[shape, sel]: per size, (elements, seconds, matches) or a status word.
    results = {}
    for shape in shapes:
        stopped = set()
        for size in sizes:
            progress("scaling %s: building %d elements" % (shape, size))
            tree = SHAPES[shape](size)
            elements = count_elements(tree)
            gc.collect()
            gc.freeze()
            for sel in SCALING_SELECTORS:
                row = results.setdefault((shape, sel), [])
                if sel in stopped:
                    row.append("-")
                    continue
                progress("scaling %s, %d elements: %s" % (shape, elements, sel))
                s = compiled[sel]
                try:
                    t = min(timed(lambda: s.select(tree), budget=args.budget)
                            for _ in range(args.rounds))
                    matches = len(s.select(tree))
                except Timeout:
                    row.append("timeout")
                    stopped.add(sel)
                    continue
                row.append((elements, t, matches))
            del tree
            gc.unfreeze()
            gc.collect()
    progress("")
    header = ["shape", "selector"] + ["ns/elem @ %dn" % k for k in (1, 2, 4, 8)] + \
             ["matches @ 8n", "ratio 8n/n"]
    rows = []
    for (shape, sel), row in results.items():
        cells = [c if isinstance(c, str) else fmt_num(c[1] / c[0] * 1e9) for c in row]
        first, last = row[0], row[-1]
        if isinstance(first, tuple) and isinstance(last, tuple):
            ratio = fmt_num((last[1] / last[0]) / (first[1] / first[0]))
            matches = last[2]
        else:
            ratio = matches = "-"
        rows.append([shape, sel] + cells + [matches, ratio])
    print_table("Scaling: quillet_tree select time per element, n = %d (best of %d "
                "round(s); a call over %g s is a timeout)" % (args.n, args.rounds, args.budget),
                header, rows,
                ["ratio: time per element at 8n over that at n; about 1 means linear, "
                 "8 quadratic"] + ["  %-7s %s" % (name, " ".join(fn.__doc__.split()))
                                   for name, fn in SHAPES.items() if name in shapes])


# -- main ------------------------------------------------------------------------

def parse_args(argv):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--corpus", default=DEFAULT_CORPUS,
                    help="folder of pages (default: shared/corpus beside the repository)")
    ap.add_argument("--pages", metavar="NAME,...", help="only these corpus pages")
    ap.add_argument("--selectors", metavar="SEL;...",
                    help="';'-separated selectors instead of the built-in list")
    ap.add_argument("--rounds", type=int, default=5, help="rounds; the best is kept (default 5)")
    ap.add_argument("--interleave", action="store_true",
                    help="run the libraries one after another for each selector (each then meets "
                         "its tree out of the caches), not each library's selectors in a row")
    ap.add_argument("--min-time", type=float, default=0.002,
                    help="seconds one measurement of a page lasts at least (calls are "
                         "repeated and averaged to get there; default 0.002)")
    ap.add_argument("--sections", default="corpus,scaling", help="corpus, scaling or both")
    ap.add_argument("--n", type=int, default=16384,
                    help="smallest scaling size in elements (default 16384: 131072 at 8n)")
    ap.add_argument("--shapes", default=",".join(SHAPES), help="scaling shapes to run")
    ap.add_argument("--budget", type=float, default=10.0,
                    help="seconds one scaling call may take (default 10)")
    return ap.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    require_select()
    sections = [s.strip() for s in args.sections.split(",") if s.strip()]
    for s in sections:
        if s not in ("corpus", "scaling"):
            sys.exit("unknown section %r (corpus, scaling)" % s)
    selectors = ([s.strip() for s in args.selectors.split(";") if s.strip()]
                 if args.selectors else list(SELECTORS))
    verbose = sys.stderr.isatty()

    def progress(msg):
        if verbose:
            sys.stderr.write("\r\033[K" + msg[:100])
            sys.stderr.flush()

    print("quillet selector benchmarks")
    print(machine.describe())
    print(versions(("quillet", "beautifulsoup4", "soupsieve", "lxml", "cssselect", "selectolax")))
    if "corpus" in sections:
        run_corpus(args, selectors, progress)
    if "scaling" in sections:
        run_scaling(args, progress)
    return 0


if __name__ == "__main__":
    sys.exit(main())
