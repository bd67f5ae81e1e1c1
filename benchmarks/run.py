#!/usr/bin/env python3
"""Benchmarks for quillet.parse, printed as plain-text tables in one run.

    python benchmarks/run.py                 # everything, a few minutes
    python benchmarks/run.py --quick         # smoke run with small sizes
    python benchmarks/run.py --chart         # also write docs/images/*.png

Tables:
  1. throughput (MB/s of UTF-8 input) of quillet.parse and its peers on every
     corpus document, the corpus total and large generated pages;
  2. parse time over marshal.loads time of the same document's result;
  3. scaling: time at 1, 2, 4 and 8 MB for every input family;
  4. peak memory of parse beyond its input and output;
followed by the targets, each with its measured figure.

Every measurement runs in a child process (worker.py) under a time budget,
so an input that makes a parser crawl, hang or crash costs one "timeout" or
"crash" cell, never the run.  A peer that is not installed shows "n/a".
"""

import argparse
import json
import os
import select
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import families  # noqa: E402
import machine  # noqa: E402
import peers  # noqa: E402

MB = 1_000_000
PEERS = ("lxml_bytes", "lxml", "lxml_shape", "html_parser", "selectolax")
RATIO_LABELS = {"lxml_bytes": "q/lxB", "lxml": "q/lxml", "lxml_shape": "q/walk",
                "html_parser": "q/h.p", "selectolax": "q/slx"}

# Targets the figures are judged against.
MAX_SCALING = 10.0            # t(largest) / t(smallest), sizes x8 apart
MIN_VS_LXML_BYTES = 1.6       # median over the passes
MIN_VS_HTML_PARSER = 10.0
MAX_VS_MARSHAL = 1.0          # collector on, median over the passes
MAX_VS_MARSHAL_NOGC = 1.2     # collector off during loads, median
MAX_PEAK_RATIO = 6.0          # input families
MAX_PEAK_RATIO_CORPUS = 1.0   # corpus documents
PEAK_ALLOWANCE = 1 << 20      # a small constant on top of the ratio

FULL = dict(repeats=5, min_time=0.1, budget=20.0, passes=3,
            scaling_sizes=[2 * MB, 4 * MB, 8 * MB, 16 * MB],
            generated_sizes=[1 * MB, 4 * MB, 8 * MB],
            memory_files=None, memory_generated=[1 * MB, 4 * MB, 8 * MB],
            memory_family_size=4 * MB)
QUICK = dict(repeats=2, min_time=0.005, budget=5.0, passes=1,
             scaling_sizes=[64_000, 128_000, 256_000, 512_000],
             generated_sizes=[MB // 8, MB // 2, 1 * MB],
             memory_files=2, memory_generated=[MB // 2],
             memory_family_size=MB // 4)

SECTIONS = ("corpus", "scaling", "memory")


# -- child processes -----------------------------------------------------------

class Worker:
    """A worker.py child answering one request at a time under a deadline.

    A request that overruns its deadline, or a child that dies, ends the
    child; the next request starts a new one.
    """

    def __init__(self, memory_limit):
        self.proc = None
        self.buffer = b""
        self.env = dict(os.environ)
        if memory_limit:
            self.env["QUILLET_BENCH_MEMORY_LIMIT"] = str(memory_limit)

    def _start(self):
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "worker.py")],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, cwd=HERE,
            env=self.env)
        self.buffer = b""

    def stop(self):
        if self.proc is not None:
            if self.proc.poll() is None:
                self.proc.kill()
            self.proc.wait()
            for pipe in (self.proc.stdin, self.proc.stdout):
                try:
                    pipe.close()
                except OSError:
                    pass
            self.proc = None

    def request(self, req, deadlines):
        """Send req; return its reply, or a "timeout"/"crash" reply.

        deadlines maps a phase ("start", then each progress event the
        worker sends) to the seconds allowed until the next line arrives.
        """
        if self.proc is None:
            self._start()
        try:
            self.proc.stdin.write((json.dumps(req) + "\n").encode())
            self.proc.stdin.flush()
        except BrokenPipeError:
            return self._died()
        fd = self.proc.stdout.fileno()
        end = time.monotonic() + deadlines["start"]
        while True:
            while b"\n" not in self.buffer:
                left = end - time.monotonic()
                if left <= 0:
                    self.stop()
                    return {"status": "timeout"}
                ready, _, _ = select.select([fd], [], [], left)
                if not ready:
                    continue
                chunk = os.read(fd, 65536)
                if not chunk:
                    return self._died()
                self.buffer += chunk
            line, _, self.buffer = self.buffer.partition(b"\n")
            msg = json.loads(line)
            if "event" not in msg:
                return msg
            end = time.monotonic() + deadlines[msg["event"]]

    def _died(self):
        code = self.proc.wait()
        self.stop()
        return {"status": "crash", "error": "worker exited with %s" % code}


# -- formatting ----------------------------------------------------------------

def fmt_num(x, digits=3):
    """x with about `digits` significant digits, no exponent."""
    if x is None:
        return "-"
    if x == 0:
        return "0"
    mag = abs(x)
    if mag >= 10 ** (digits - 1):
        return "%.0f" % x
    decimals = digits - 1
    while mag >= 10 and decimals > 0:
        mag /= 10
        decimals -= 1
    while mag < 1 and decimals < 6:
        mag *= 10
        decimals += 1
    return "%.*f" % (decimals, x)


def fmt_size(n):
    if n >= MB and n % (MB // 4) == 0:
        return "%g MB" % (n / MB)
    if n >= MB:
        return "%.1f MB" % (n / MB)
    return "%d KB" % round(n / 1000)


def show(result, figure):
    """figure(result) for an ok result, else its status word ("-" when the
    measurement was not made)."""
    if result is None:
        return "-"
    if result["status"] != "ok":
        return result["status"]
    return figure(result)


def show_mbps(result):
    return show(result, lambda r: fmt_num(mbps(r)))


def show_ms(result):
    return show(result, lambda r: fmt_num(r["time"] * 1000))


def print_table(title, header, rows, notes=()):
    print()
    print(title)
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    def line(r):
        first = str(r[0]).ljust(widths[0])
        rest = [str(v).rjust(w) for v, w in zip(r[1:], widths[1:])]
        return "  ".join([first] + rest).rstrip()
    print(line(header))
    print("  ".join("-" * w for w in widths))
    for r in rows:
        print(line(r))
    for note in notes:
        print(note)
    sys.stdout.flush()


# -- measurements ----------------------------------------------------------------

class Bench:
    def __init__(self, args, conf):
        self.args = args
        self.conf = conf
        self.worker = Worker(args.memory_limit)

    def time(self, impl, doc):
        conf = self.conf
        req = {"op": "time", "impl": impl, "doc": doc,
               "min_time": conf["min_time"], "repeats": conf["repeats"],
               "budget": conf["budget"]}
        budget = conf["budget"]
        # Loading or generating the document and preparing the call (which
        # for marshal includes one parse) get a generous allowance; the first
        # timed call gets the budget; the repeats stop themselves once they
        # have spent about the budget again.
        return self.worker.request(req, {"start": 4 * budget + 60,
                                         "ready": budget + 1,
                                         "first": 2 * budget + 5})

    def memory(self, doc):
        budget = self.conf["budget"]
        worker = Worker(self.args.memory_limit)
        try:
            return worker.request({"op": "mem", "doc": doc},
                                  {"start": 60, "ready": budget + 1,
                                   "parsed": 120})
        finally:
            worker.stop()

    def close(self):
        self.worker.stop()


def mbps(result):
    return result["bytes"] / result["time"] / MB


def corpus_files(corpus):
    if not os.path.isdir(corpus):
        return []
    names = sorted(n for n in os.listdir(corpus)
                   if not n.endswith(".md") and not n.startswith(".")
                   and os.path.isfile(os.path.join(corpus, n)))
    return [(n, {"path": os.path.join(corpus, n)}) for n in names]


def run_corpus(bench, docs, progress):
    """{label: {impl: result}} for every document, in order."""
    impls = ("quillet", "marshal", "marshal_nogc") + PEERS
    table = {}
    for i, (label, doc) in enumerate(docs, 1):
        progress("throughput %d/%d %s" % (i, len(docs), label))
        row = {}
        for impl in impls:
            if impl.startswith("marshal") and row["quillet"]["status"] != "ok":
                row[impl] = {"status": "-"}
                continue
            row[impl] = bench.time(impl, doc)
        table[label] = row
    return table


def totals(table, labels, impl):
    """(bytes, seconds, complete) over the documents where impl succeeded."""
    size = secs = 0
    complete = True
    for label in labels:
        r = table[label][impl]
        if r["status"] == "ok":
            size += r["bytes"]
            secs += r["time"]
        else:
            complete = False
    return size, secs, complete


def pair_ratio(table, labels, num, den):
    """sum(den time) / sum(num time) over documents where both succeeded:
    how many times faster `num` is than `den`."""
    t_num = t_den = 0.0
    n = 0
    for label in labels:
        a, b = table[label][num], table[label][den]
        if a["status"] == "ok" and b["status"] == "ok":
            t_num += a["time"]
            t_den += b["time"]
            n += 1
    if not n or t_num == 0:
        return None, 0
    return t_den / t_num, n


def doc_size(table, label):
    return next((r["bytes"] for r in table[label].values() if "bytes" in r), None)


def throughput_rows(table, corpus_labels, generated_labels):
    rows = []

    def add(label):
        row = table[label]
        q = row["quillet"]
        size = doc_size(table, label)
        out = [label, fmt_num(size / 1000, 4) if size else "-", show_mbps(q)]
        for peer in PEERS:
            p = row[peer]
            out.append(show_mbps(p))
            out.append(fmt_num(p["time"] / q["time"])
                       if q["status"] == p["status"] == "ok" else "-")
        rows.append(out)

    for label in corpus_labels:
        add(label)
    if corpus_labels:
        # Totals are total bytes over total time; the ratios use only the
        # documents both sides parsed.
        size_all = sum(doc_size(table, label) or 0 for label in corpus_labels)
        out = ["corpus total (%d files)" % len(corpus_labels),
               fmt_num(size_all / 1000, 4)]
        for impl in ("quillet",) + PEERS:
            size, secs, complete = totals(table, corpus_labels, impl)
            if secs:
                out.append(fmt_num(size / secs / MB) + ("" if complete else "*"))
            else:
                out.append(table[corpus_labels[0]][impl]["status"])
            if impl != "quillet":
                ratio, _ = pair_ratio(table, corpus_labels, "quillet", impl)
                out.append(fmt_num(ratio))
        rows.append(out)
    for label in generated_labels:
        add(label)
    return rows


def marshal_rows(table, corpus_labels, generated_labels):
    def ratio(q, m):
        return fmt_num(q["time"] / m["time"]) if q["status"] == m["status"] == "ok" else "-"

    def row(label):
        q, m, m0 = (table[label][k] for k in ("quillet", "marshal", "marshal_nogc"))
        return [label, show_ms(q), show_ms(m), show_ms(m0),
                fmt_num(m["blob_bytes"] / 1000, 4) if m.get("blob_bytes") else "-",
                ratio(q, m), ratio(q, m0)]

    rows = [row(label) for label in corpus_labels]
    if corpus_labels:
        out = ["corpus total (%d files)" % len(corpus_labels)]
        for impl in ("quillet", "marshal", "marshal_nogc"):
            out.append(fmt_num(totals(table, corpus_labels, impl)[1] * 1000))
        out.append("-")
        for impl in ("marshal", "marshal_nogc"):
            r, _ = pair_ratio(table, corpus_labels, impl, "quillet")
            out.append(fmt_num(r))
        rows.append(out)
    rows += [row(label) for label in generated_labels]
    return rows


def best_of(tables):
    """One table from several passes: per document and implementation, the
    fastest successful result."""
    merged = {}
    for table in tables:
        for label, row in table.items():
            into = merged.setdefault(label, {})
            for impl, r in row.items():
                old = into.get(impl)
                if old is None or (r["status"] == "ok" and
                                   (old["status"] != "ok" or r["time"] < old["time"])):
                    into[impl] = r
    return merged


# The ratios compared pass by pass: (name, numerator, denominator), each the
# denominator's total time over the numerator's.
PASS_RATIOS = [("q/lxml bytes", "quillet", "lxml_bytes"), ("q/lxml str", "quillet", "lxml"),
               ("parse/loads", "marshal", "quillet"), ("parse/loads gc off", "marshal_nogc", "quillet")]


def pass_figures(table, labels):
    return {name: pair_ratio(table, labels, num, den)[0] for name, num, den in PASS_RATIOS}


def median(values):
    values = sorted(v for v in values if v is not None)
    if not values:
        return None
    mid = len(values) // 2
    return values[mid] if len(values) % 2 else (values[mid - 1] + values[mid]) / 2


def run_scaling(bench, pairs, sizes, progress):
    """{(family, variant): [result per size]}; sizes after a timeout, crash
    or error are skipped."""
    out = {}
    for family, variant in pairs:
        results = []
        for size in sizes:
            progress("scaling %s/%s %s" % (family, variant, fmt_size(size)))
            r = bench.time("quillet", {"family": family, "variant": variant,
                                       "size": size})
            results.append(r)
            if r["status"] != "ok":
                break
        results += [None] * (len(sizes) - len(results))
        out["%s/%s" % (family, variant)] = results
    return out


def run_memory(bench, docs, progress):
    # Every document reaches the child as a file: reading it leaves no freed
    # scratch memory behind in the child, which parse could otherwise reuse
    # unseen by the peak.
    out = []
    with tempfile.TemporaryDirectory(prefix="quillet-bench-") as tmp:
        for i, (label, doc) in enumerate(docs):
            progress("memory %s" % label)
            if "path" not in doc:
                path = os.path.join(tmp, "doc%d.html" % i)
                with open(path, "w", encoding="utf-8") as f:
                    f.write(families.generate(doc["family"], doc["variant"],
                                              doc["size"]))
                doc = {"path": path}
            out.append((label, bench.memory(doc)))
    return out


# -- main -----------------------------------------------------------------------

def environment():
    lines = [machine.describe()]
    import importlib
    from importlib import metadata
    versions = []
    for name in ("quillet", "lxml", "selectolax", "matplotlib"):
        try:
            importlib.import_module(name)
        except ImportError:
            versions.append("%s n/a" % name)
            continue
        try:
            versions.append("%s %s" % (name, metadata.version(name)))
        except metadata.PackageNotFoundError:
            versions.append("%s (no version)" % name)
    lines.append(", ".join(versions))
    return lines


def parse_args(argv):
    ap = argparse.ArgumentParser(
        description="Benchmarks for quillet.parse against peers.")
    ap.add_argument("--corpus", default=os.path.join(ROOT, "..", "shared", "corpus"),
                    help="folder of documents (default: ../shared/corpus from the "
                         "repository root)")
    ap.add_argument("--quick", action="store_true",
                    help="smoke run: small sizes, few repeats, short budget")
    ap.add_argument("--chart", nargs="?", const=os.path.join(ROOT, "docs", "images"),
                    metavar="DIR",
                    help="write throughput.png and scaling.png to DIR "
                         "(default docs/images/)")
    ap.add_argument("--families", metavar="NAME,...",
                    help="scaling families to run, each a family or "
                         "family/variant (default: all)")
    ap.add_argument("--sections", default=",".join(SECTIONS), metavar="NAME,...",
                    help="which of %s to run (default: all)" % ",".join(SECTIONS))
    ap.add_argument("--budget", type=float,
                    help="seconds one call may take before it counts as a timeout "
                         "(default 20, 5 with --quick)")
    ap.add_argument("--repeats", type=int, help="repeats per measurement (best is kept)")
    ap.add_argument("--memory-limit", type=int, default=8 << 30, metavar="BYTES",
                    help="address-space limit of each child (default 8 GiB; 0: none)")
    ap.add_argument("--json", metavar="PATH",
                    help="also write every raw figure to PATH as JSON")
    ap.add_argument("--list-families", action="store_true",
                    help="print the input families and exit")
    return ap.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    if args.list_families:
        for family, variants in families.FAMILIES.items():
            print("%-22s %s" % (family, " ".join(variants)))
        return 0
    conf = dict(QUICK if args.quick else FULL)
    if args.budget:
        conf["budget"] = args.budget
    if args.repeats:
        conf["repeats"] = args.repeats
    sections = [s.strip() for s in args.sections.split(",") if s.strip()]
    for s in sections:
        if s not in SECTIONS:
            sys.exit("unknown section %r (choose from %s)" % (s, ", ".join(SECTIONS)))
    try:
        pairs = families.select(
            [n.strip() for n in args.families.split(",") if n.strip()]
            if args.families else None)
    except KeyError as exc:
        sys.exit("unknown family %s; --list-families shows them" % exc)

    verbose = sys.stderr.isatty()

    def progress(msg):
        if verbose:
            sys.stderr.write("\r\033[K" + msg[:100])
            sys.stderr.flush()

    def progress_done():
        if verbose:
            sys.stderr.write("\r\033[K")
            sys.stderr.flush()

    print("quillet benchmarks%s" % (" (quick)" if args.quick else ""))
    for line in environment():
        print(line)
    print("times: best of %d repeats, timeit-style loops of >= %g s, collector "
          "enabled, each result freed before the next call; one call over %g s "
          "counts as a timeout" % (conf["repeats"], conf["min_time"], conf["budget"]))
    for impl in ("quillet",) + PEERS + ("marshal", "marshal_nogc"):
        print("  %-13s %s" % (peers.LABELS[impl], peers.DESCRIPTIONS[impl]))

    bench = Bench(args, conf)
    figures = {}
    try:
        if "corpus" in sections:
            run_corpus_sections(bench, args, conf, progress, progress_done, figures)
        if "scaling" in sections:
            run_scaling_section(bench, conf, pairs, progress, progress_done, figures)
        if "memory" in sections:
            run_memory_section(bench, args, conf, progress, progress_done, figures)
    finally:
        bench.close()
        progress_done()
    if quillet_importable():
        print_targets(figures, sections)
    else:
        print("\nquillet is not importable by %s: no target judged" % sys.executable)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(figures, f, indent=1)
        print("\nfigures written: %s" % args.json)
    if args.chart:
        write_charts(args.chart, figures)
    return 0


def run_corpus_sections(bench, args, conf, progress, progress_done, figures):
    docs = corpus_files(args.corpus)
    if not docs:
        print("\nno corpus at %s: corpus rows skipped" % os.path.abspath(args.corpus))
    corpus_labels = [label for label, _ in docs]
    generated = [("generated well_formed %s" % fmt_size(size),
                  {"family": "well_formed", "variant": "indented", "size": size})
                 for size in conf["generated_sizes"]]
    generated_labels = [label for label, _ in generated]
    # The whole corpus is timed pass after pass: the ratios drift between
    # passes, so each pass's figures are shown and their median is judged.
    tables = []
    for n in range(conf["passes"]):
        def pass_progress(msg, n=n):
            progress("pass %d/%d %s" % (n + 1, conf["passes"], msg))
        tables.append(run_corpus(bench, docs + (generated if n == 0 else []), pass_progress))
    progress_done()
    table = best_of(tables)
    passes = [pass_figures(t, corpus_labels) for t in tables] if corpus_labels else []

    header = ["document", "KB", "quillet"]
    for peer in PEERS:
        header += [peers.LABELS[peer], RATIO_LABELS[peer]]
    rows = throughput_rows(table, corpus_labels, generated_labels)
    partial = corpus_labels and any(v.endswith("*") for v in rows[len(corpus_labels)])
    print_table(
        "1. Throughput, MB/s of UTF-8 input (q/X: quillet's throughput over X's)",
        header, rows,
        ["* total over the documents this parser managed; ratios use the "
         "documents both parsed"] if partial else [])
    print_table(
        "2. parse time over marshal.loads time of the same document's result "
        "(blob = marshal.dumps(parse(doc)); parse keeps the collector off while "
        "it builds, so the fair figure is against loads with it off)",
        ["document", "parse ms", "loads ms", "loads ms gc off", "blob KB",
         "parse/loads", "parse/loads gc off"],
        marshal_rows(table, corpus_labels, generated_labels))
    if passes:
        names = [name for name, _, _ in PASS_RATIOS]
        rows = [["pass %d" % (i + 1)] + [fmt_num(p[k]) for k in names]
                for i, p in enumerate(passes)]
        rows.append(["median"] + [fmt_num(median(p[k] for p in passes)) for k in names])
        print_table("2b. Corpus totals pass by pass (tables 1 and 2 keep each "
                    "document's best time over the passes)", ["pass"] + names, rows)
    figures["passes"] = passes
    figures["corpus"] = table
    figures["corpus_labels"] = corpus_labels
    figures["generated_labels"] = generated_labels


def run_scaling_section(bench, conf, pairs, progress, progress_done, figures):
    sizes = conf["scaling_sizes"]
    results = run_scaling(bench, pairs, sizes, progress)
    progress_done()
    header = ["family/variant"] + ["ms @ %s" % fmt_size(s) for s in sizes] + \
             ["MB/s @ %s" % fmt_size(sizes[-1]),
              "t(%s)/t(%s)" % (fmt_size(sizes[-1]).replace(" ", ""),
                               fmt_size(sizes[0]).replace(" ", ""))]
    rows = []
    for name, rs in results.items():
        row = [name]
        row += [show_ms(r) for r in rs]
        row.append(show_mbps(rs[-1]) if rs[-1] else "-")
        ratio = time_ratio(rs)
        row.append(fmt_num(ratio) if ratio is not None else
                   next((r["status"] for r in rs if r and r["status"] != "ok"), "-"))
        rows.append(row)
    print_table("3. Scaling: parse time against input size "
                "(size x%g from first to last column)" % (sizes[-1] / sizes[0]),
                header, rows,
                ["small sizes (--quick) fit in the caches and time in microseconds: "
                 "judge the ratios on a full run"] if sizes[-1] < 8 * MB else [])
    figures["scaling"] = results
    figures["scaling_sizes"] = sizes


def time_ratio(results):
    first, last = results[0], results[-1]
    if first and last and first["status"] == "ok" and last["status"] == "ok":
        return last["time"] / first["time"]
    return None


def run_memory_section(bench, args, conf, progress, progress_done, figures):
    docs = corpus_files(args.corpus)
    largest = sorted(docs, key=lambda d: -os.path.getsize(d[1]["path"]))
    chosen = largest[:conf["memory_files"]] if conf["memory_files"] else largest
    if docs:
        smallest = min(docs, key=lambda d: os.path.getsize(d[1]["path"]))
        if smallest not in chosen:
            chosen.append(smallest)
    chosen += [("generated well_formed %s" % fmt_size(size),
                {"family": "well_formed", "variant": "indented", "size": size})
               for size in conf["memory_generated"]]
    size = conf["memory_family_size"]
    chosen += [("%s/%s %s" % (f, v, fmt_size(size)),
                {"family": f, "variant": v, "size": size})
               for f, v in families.select(None)]
    corpus_labels = {label for label, _ in docs}
    results = run_memory(bench, chosen, progress)
    progress_done()
    rows = []
    for label, r in results:
        r["corpus"] = label in corpus_labels
        if r["status"] != "ok":
            rows.append([label, r.get("bytes") and fmt_num(r["bytes"] / 1000, 4) or "-",
                         r["status"], "-", "-", "-"])
            continue
        out_rss = r["rss_after"] - r["rss_before"]
        rows.append([label, fmt_num(r["bytes"] / 1000, 4),
                     fmt_num(out_rss / 1000, 4),
                     fmt_num(r["output_sizeof"] / 1000, 4),
                     ("" if r["exact"] else "<=") + fmt_num(r["peak_extra"] / 1000, 4),
                     fmt_num(r["peak_extra"] / r["bytes"])])
    print_table(
        "4. Peak memory of parse beyond its input and output (fresh process each; "
        "KB = 1000 bytes)",
        ["document", "input KB", "output KB (RSS)", "output KB (sizeof)",
         "peak extra KB", "extra/input"], rows,
        ["output (RSS) = resident growth that stays after parse returns (parse runs "
         "on a thread that ends, so what it keeps for its next call is freed); peak "
         "extra = VmHWM during parse - RSS after parse",
         "output (sizeof) = sum of sys.getsizeof over the result, for comparison"])
    figures["memory"] = results


def quillet_importable():
    try:
        __import__("quillet")
    except ImportError:
        return False
    return True


def print_targets(figures, sections):
    rows = []
    notes = []

    def verdict(ok):
        return "ok" if ok else "MISS"

    if "scaling" in sections and "scaling" in figures:
        worst = None
        missing = []
        for name, rs in figures["scaling"].items():
            ratio = time_ratio(rs)
            if ratio is None:
                missing.append(name)
            elif worst is None or ratio > worst[0]:
                worst = (ratio, name)
        if worst:
            rows.append(["worst t(last)/t(first) of any family",
                         "%s (%s)" % (fmt_num(worst[0]), worst[1]),
                         "<= %g" % MAX_SCALING,
                         verdict(worst[0] <= MAX_SCALING and not missing)])
        if missing:
            rows.append(["families without a ratio (timeout, crash, error)",
                         "%d, see below" % len(missing), "none", "MISS"])
            notes.append("families without a ratio: " + ", ".join(missing))
    if "corpus" in sections and figures.get("corpus_labels"):
        table, labels = figures["corpus"], figures["corpus_labels"]
        for peer, limit in (("html_parser", MIN_VS_HTML_PARSER), ("lxml_shape", None),
                            ("selectolax", None)):
            ratio, n = pair_ratio(table, labels, "quillet", peer)
            name = "corpus throughput, quillet / %s" % peers.LABELS[peer]
            if n < len(labels) and ratio is not None:
                name += " (%d of %d files)" % (n, len(labels))
            rows.append([name, fmt_num(ratio) if ratio is not None else "n/a",
                         ">= %g" % limit if limit else "(info)",
                         (verdict(ratio >= limit and n == len(labels))
                          if ratio is not None else "n/a") if limit else ""])
        passes = figures.get("passes") or []
        for name, label, limit, above in (
                ("q/lxml bytes", "corpus throughput, quillet / lxml on bytes", MIN_VS_LXML_BYTES, True),
                ("q/lxml str", "corpus throughput, quillet / lxml on str", None, True),
                ("parse/loads", "corpus parse / marshal.loads, collector on", MAX_VS_MARSHAL, False),
                ("parse/loads gc off", "corpus parse / marshal.loads, collector off",
                 MAX_VS_MARSHAL_NOGC, False)):
            m = median(p[name] for p in passes)
            label += " (median of %d passes)" % len(passes)
            if m is None:
                rows.append([label, "n/a", "", "n/a"])
            elif limit is None:
                rows.append([label, fmt_num(m), "(info)", ""])
            else:
                rows.append([label, fmt_num(m), (">= %g" if above else "<= %g") % limit,
                             verdict(m >= limit if above else m <= limit)])
    if "memory" in sections and figures.get("memory"):
        ok = [(r["peak_extra"] / r["bytes"], label, r)
              for label, r in figures["memory"] if r["status"] == "ok" and r["bytes"]]
        failed = [label for label, r in figures["memory"] if r["status"] != "ok"]
        for corpus, limit, what in ((True, MAX_PEAK_RATIO_CORPUS, "corpus documents"),
                                    (False, MAX_PEAK_RATIO, "generated inputs")):
            group = [x for x in ok if x[2].get("corpus") == corpus]
            if not group:
                continue
            # Page-sized noise dwarfs tiny inputs: the worst ratio shown is
            # over inputs of 100 KB or more, the verdict covers all with the
            # allowance.
            worst = max([x for x in group if x[2]["bytes"] >= 100_000] or group)
            within = all(r["peak_extra"] <= limit * r["bytes"] + PEAK_ALLOWANCE
                         for _, _, r in group)
            rows.append(["worst peak extra / input, %s (>= 100 KB)" % what,
                         "%s (%s)" % (fmt_num(worst[0]), worst[1]),
                         "<= %g (+1 MiB)" % limit, verdict(within)])
        if failed:
            rows.append(["memory runs that failed", "%d, see below" % len(failed),
                         "none", "MISS"])
            notes.append("memory runs that failed: " + ", ".join(failed))
    if rows:
        print_table("Targets", ["target", "measured", "limit", "verdict"], rows,
                    notes)


def write_charts(directory, figures):
    try:
        import charts
    except ImportError as exc:
        print("\ncharts: n/a (%s)" % exc)
        return
    os.makedirs(directory, exist_ok=True)
    written = []
    if figures.get("corpus"):
        path = os.path.join(directory, "throughput.png")
        if charts.throughput(path, figures["corpus"], figures["corpus_labels"],
                             figures["generated_labels"], ("quillet",) + PEERS):
            written.append(path)
    if figures.get("scaling"):
        path = os.path.join(directory, "scaling.png")
        if charts.scaling(path, figures["scaling"], figures["scaling_sizes"]):
            written.append(path)
    print()
    for path in written:
        print("chart written: %s" % os.path.relpath(path))
    if not written:
        print("charts: nothing to draw")


if __name__ == "__main__":
    sys.exit(main())
