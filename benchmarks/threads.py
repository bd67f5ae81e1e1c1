#!/usr/bin/env python3
"""Corpus throughput of quillet with 1, 2, ... threads, and with processes.

    python benchmarks/threads.py                      # 1 .. os.cpu_count() threads
    python benchmarks/threads.py --threads 1,2,4      # chosen counts
    python benchmarks/threads.py --quick              # smoke run: few documents, 1 round

Workloads, run one after the other in this one process:
  1. quillet.parse(text) on every corpus document, in N threads;
  2. the same, then quillet_tree.select(tree, sel) for each selector of
     SELECTORS on every tree, in N threads;
  3. a concurrent.futures.ProcessPoolExecutor of N workers, each parsing a
     document and returning its tree to this process: the pickling in the
     worker and the unpickling here are part of the time;
  4. a Python thread counting in a loop, alone and while the main thread
     parses a long document (--long-mb): how much of its speed parse leaves it;
  5. Ctrl-C on a longer parse (--ctrl-c-mb) in the main thread while the other
     threads parse a page over and over: seconds from SIGINT to the
     KeyboardInterrupt;
  6. lxml.html.fromstring(data) on every document's UTF-8 bytes, in N threads
     (skipped, with a note, when lxml does not import). It comes last: on a
     free-threaded build, importing lxml turns the GIL on for the process.

The work is fixed and shared out: a round is every document exactly once,
taken from one queue (largest first, so that no thread is left with a big
document at the end) by whichever thread or worker is free. The threads of a
round wait at a threading.Barrier and start together; the round's time is
the wall time (time.perf_counter) from their start until the last of them
has found the queue empty. Each result is dropped as soon as it is made, so
freeing it is part of the time. Throughput is MB/s: the documents' UTF-8
bytes (10^6 bytes to the MB) over the round's time. Each figure is the
median of --repeats rounds, after one warm-up round that is not counted (it
also starts the pool's processes): with threads, how their calls happen to
line up varies from round to round, so the shortest round is luck. The collector stays enabled,
as in a user's program; gc.collect() runs between rounds, outside the time.

Reading the tables:
  "vs 1"        throughput at N over the same workload's throughput at 1
                thread (or 1 worker): the speed-up. N is perfect scaling;
                about 1 means the calls ran one after another (with the GIL,
                quillet.parse runs in parallel only while it indexes a long
                text); below 1, the threads cost each other more than they
                gain.
  "vs parse@1"  throughput over quillet.parse's with 1 thread: for parse and
                select, the share of time the queries add; for the process
                pool, what moving the trees between processes costs (its
                1-worker figure) and from how many workers the pool pays for
                it; for lxml, the peer at N against plain quillet at 1.
Counts above the machine's cores (os.cpu_count() counts hardware threads)
cannot scale. Figures taken while the machine is busy are noise; the ratios
within one run stay comparable. The output names no file system path.
"""

import argparse
import gc
import json
import os
import queue
import signal
import statistics
import sys
import sysconfig
import threading
import time
from concurrent.futures import ProcessPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import quillet  # noqa: E402
import quillet_tree  # noqa: E402

import machine  # noqa: E402
from run import corpus_files, fmt_num, print_table  # noqa: E402

DEFAULT_CORPUS = os.path.join(os.path.dirname(HERE), "..", "shared", "corpus")
MB = 1_000_000
SELECTORS = ("a[href]", "img[src]")
QUICK_DOCUMENTS = 4   # --quick: the smallest documents of the corpus


# -- the work of one document ----------------------------------------------------

def parse_only(text):
    quillet.parse(text)


def parse_and_select(text):
    tree = quillet.parse(text)
    for selector in SELECTORS:
        quillet_tree.select(tree, selector)


# The process pool's workers: each reads the documents once when it starts,
# then parses the one it is given by index and returns the tree.
_pool_texts = []


def _pool_load(paths):
    _pool_texts[:] = [read_text(path) for path in paths]


def _pool_parse(index):
    return quillet.parse(_pool_texts[index])


def count_matches(texts):
    """{selector: elements it matches over the documents quillet parses}."""
    matches = dict.fromkeys(SELECTORS, 0)
    for text in texts:
        try:
            tree = quillet.parse(text)
        except Exception:
            continue
        for selector in SELECTORS:
            matches[selector] += len(quillet_tree.select(tree, selector))
    return matches


# -- timing ----------------------------------------------------------------------

def time_threads(n, work, items, rounds):
    """Wall seconds of each of `rounds` rounds in which n threads, started
    together, call work(item) for every item of `items`, each item once."""
    jobs = queue.SimpleQueue()
    start = threading.Barrier(n + 1)
    done = threading.Barrier(n + 1)
    failures = []

    def crew_member():
        try:
            while True:
                start.wait()
                try:
                    while True:
                        try:
                            item = jobs.get_nowait()
                        except queue.Empty:
                            break
                        work(item)
                except Exception as exc:  # reported by the main thread
                    failures.append(exc)
                done.wait()
        except threading.BrokenBarrierError:
            return   # the main thread ends the crew by breaking the barriers

    crew = [threading.Thread(target=crew_member, daemon=True) for _ in range(n)]
    for t in crew:
        t.start()
    times = []
    try:
        for _ in range(rounds):
            for item in items:
                jobs.put(item)
            gc.collect()
            start.wait()
            began = time.perf_counter()
            done.wait()
            times.append(time.perf_counter() - began)
            if failures:
                raise failures[0]
    finally:
        while not jobs.empty():
            jobs.get_nowait()
        start.abort()
        done.abort()
        for t in crew:
            t.join()
    return times


def time_pool(n, paths, rounds):
    """Wall seconds of each of `rounds` rounds in which a pool of n worker
    processes parses every document of `paths` and returns its tree here."""
    order = list(range(len(paths)))
    times = []
    with ProcessPoolExecutor(max_workers=n, initializer=_pool_load,
                             initargs=(paths,)) as pool:
        for _ in range(rounds):
            gc.collect()
            began = time.perf_counter()
            for tree in pool.map(_pool_parse, order):
                del tree
            times.append(time.perf_counter() - began)
    return times


def usable(work, items, names):
    """The items (and their names) on which work runs, called once each in
    this thread, and the names of those it raised on."""
    kept, kept_names, failed = [], [], []
    for item, name in zip(items, names):
        try:
            work(item)
        except Exception as exc:
            failed.append("%s (%s)" % (name, type(exc).__name__))
        else:
            kept.append(item)
            kept_names.append(name)
    return kept, kept_names, failed


# -- one workload ----------------------------------------------------------------

def measure(title, unit, counts, rounds, size, timer):
    """{"rows": [...]} for one workload; timer(n, rounds) gives the seconds
    of each round, the first being the warm-up."""
    rows = []
    for n in counts:
        progress("%s: %d %s" % (title, n, unit))
        times = timer(n, rounds + 1)
        median = statistics.median(times[1:])
        rows.append({"n": n, "warmup": times[0], "rounds": times[1:],
                     "median": median, "mbps": size / median / MB})
    progress()
    return {"title": title, "unit": unit, "bytes": size, "rows": rows}


def show(number, result, base, notes=()):
    one = result["rows"][0]["mbps"]
    rows = [[r["n"], fmt_num(r["mbps"]), fmt_num(r["mbps"] / one),
             fmt_num(r["mbps"] / base) if base else "-"]
            for r in result["rows"]]
    print_table("%d. %s, MB/s of UTF-8 input (%s KB per round)"
                % (number, result["title"], fmt_num(result["bytes"] / 1000, 4)),
                [result["unit"], "MB/s", "vs 1", "vs parse@1"], rows, notes)


def progress(msg=""):
    """What is being timed, on one line of a terminal's stderr (cleared with no msg)."""
    if sys.stderr.isatty():
        sys.stderr.write("\r\033[K" + msg[:100])
        sys.stderr.flush()


# -- main ------------------------------------------------------------------------

def read_text(path):
    with open(path, "rb") as f:
        return f.read().decode("utf-8")


def thread_counts(arg):
    """The counts of --threads, ascending, always with 1 (the ratios need it)."""
    if not arg:
        return list(range(1, (os.cpu_count() or 1) + 1))
    try:
        counts = {int(part) for part in arg.split(",") if part.strip()}
    except ValueError:
        sys.exit("--threads wants counts such as 1,2,4, not %r" % arg)
    if not counts or min(counts) < 1:
        sys.exit("--threads wants counts of 1 or more, not %r" % arg)
    return sorted(counts | {1})


def package_version(name):
    from importlib import metadata
    try:
        return metadata.version(name)
    except metadata.PackageNotFoundError:
        return "(no version)"


def gil_state():
    is_enabled = getattr(sys, "_is_gil_enabled", None)
    if is_enabled is None:
        return "on (no sys._is_gil_enabled: this interpreter always holds it)"
    return "on" if is_enabled() else "off"


LONG_UNIT = '<div class="row" id="r"><p>Some text with <a href="/x">a link</a> in it.</p><br/></div>\n'


def long_document(mb):
    return LONG_UNIT * (mb * 1_000_000 // len(LONG_UNIT))


def count_during_parse(mb):
    """Counts/s of a Python thread incrementing a local in a loop: alone for
    a second, then while the main thread parses an `mb` MB document."""
    doc = long_document(mb)
    stop, counted = threading.Event(), []

    def count():
        n = 0
        start = time.perf_counter()
        while not stop.is_set():
            for _ in range(1000):
                n += 1
        counted.append((n, time.perf_counter() - start))

    def rate(run):
        stop.clear()
        counted.clear()
        t = threading.Thread(target=count)
        t.start()
        time.sleep(0.05)  # the counter is going before the measured part begins
        result = run()
        stop.set()
        t.join()
        return counted[0][0] / counted[0][1], result

    alone, _ = rate(lambda: time.sleep(1.0))

    def parse_long():
        start = time.perf_counter()
        quillet.parse(doc)
        return time.perf_counter() - start

    quillet.parse(doc)  # warm: the first call also gets its memory from the system
    during, parse_s = rate(parse_long)
    # The counter ran 0.05 s before the parse began and stopped with it.
    return {"alone": alone, "during": during, "parse_s": parse_s, "mb": mb}


def ctrl_c_latency(mb, others, runs=3, after_s=0.3):
    """Seconds from SIGINT (sent `after_s` into an `mb` MB parse in the main
    thread) to the KeyboardInterrupt, while `others` threads parse a page."""
    doc = long_document(mb)
    page = LONG_UNIT * 2000
    latencies = []
    for _ in range(runs):
        stop, sent = threading.Event(), []

        def parse_on():
            while not stop.is_set():
                quillet.parse(page)

        def interrupt():
            time.sleep(after_s)
            sent.append(time.perf_counter())
            signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

        threads = [threading.Thread(target=parse_on) for _ in range(others)]
        threads.append(threading.Thread(target=interrupt))
        for t in threads:
            t.start()
        try:
            quillet.parse(doc)
            got = None  # finished before the signal came: no figure
        except KeyboardInterrupt:
            got = time.perf_counter()
        stop.set()
        for t in threads:
            t.join()
        if got is not None:
            latencies.append(got - sent[0])
    return {"mb": mb, "others": others, "after_s": after_s, "runs": runs,
            "latencies": latencies or [float("nan")]}


def parse_args(argv):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--corpus", default=DEFAULT_CORPUS,
                    help="folder of documents (default: ../shared/corpus from the "
                         "repository root)")
    ap.add_argument("--threads", metavar="N,...",
                    help="thread (and worker) counts to run, 1 always among them "
                         "(default: 1 to os.cpu_count())")
    ap.add_argument("--repeats", type=int, default=9,
                    help="timed rounds per figure, the median is kept (default 9)")
    ap.add_argument("--long-mb", type=int, default=100,
                    help="size of the document parsed while a thread counts (default 100)")
    ap.add_argument("--ctrl-c-mb", type=int, default=200,
                    help="size of the document whose parse Ctrl-C stops (default 200)")
    ap.add_argument("--quick", action="store_true",
                    help="smoke run: the %d smallest documents, 1 timed round"
                         % QUICK_DOCUMENTS)
    ap.add_argument("--json", metavar="PATH",
                    help="also write every raw figure to PATH as JSON")
    return ap.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    counts = thread_counts(args.threads)
    rounds = 1 if args.quick else args.repeats
    if rounds < 1:
        sys.exit("--repeats wants 1 or more")
    docs = corpus_files(args.corpus)
    if not docs:
        sys.exit("no corpus at %s" % os.path.abspath(args.corpus))
    if args.quick:
        docs = sorted(docs, key=lambda d: os.path.getsize(d[1]["path"]))[:QUICK_DOCUMENTS]
    # Largest first: the last documents taken from the queue are short.
    docs.sort(key=lambda d: (-os.path.getsize(d[1]["path"]), d[0]))
    names = [name for name, _ in docs]
    paths = [doc["path"] for _, doc in docs]
    texts = [read_text(path) for path in paths]
    datas = [text.encode("utf-8") for text in texts]

    version = package_version("quillet")
    gil_disabled = sysconfig.get_config_var("Py_GIL_DISABLED")
    print("quillet thread scaling%s" % (" (quick)" if args.quick else ""))
    print(machine.describe())
    print("interpreter: %s" % sys.version.replace("\n", " "))
    print("free-threaded build (Py_GIL_DISABLED): %s"
          % ({1: "yes", 0: "no", None: "no (not set)"}.get(gil_disabled, gil_disabled)))
    print("GIL at run time, after importing quillet and quillet_tree: %s" % gil_state())
    print("os.cpu_count(): %s; quillet %s" % (os.cpu_count(), version))
    print("corpus: %d documents, %s KB of UTF-8; threads/workers: %s"
          % (len(docs), fmt_num(sum(map(len, datas)) / 1000, 4),
             ", ".join(map(str, counts))))
    print("figures: median of %d round%s after one warm-up round; a round is every "
          "document once, shared out from one queue, largest first"
          % (rounds, "" if rounds == 1 else "s"))

    figures = {"python": sys.version, "py_gil_disabled": gil_disabled,
               "gil_enabled": gil_state(), "cpu_count": os.cpu_count(),
               "machine": machine.describe(), "quillet": version,
               "repeats": rounds, "quick": args.quick, "documents": names,
               "workloads": {}}

    def thread_workload(key, title, work, items, notes=()):
        kept, kept_names, failed = usable(work, items, names)
        size = sum(len(datas[names.index(name)]) for name in kept_names)
        result = measure(title, "threads", counts, rounds, size,
                         lambda n, r: time_threads(n, work, kept, r))
        result["documents"] = kept_names
        result["skipped"] = failed
        figures["workloads"][key] = result
        notes = list(notes)
        if failed:
            notes.append("left out, the call raised: " + ", ".join(failed))
        return result, notes

    parse_result, notes = thread_workload("parse", "quillet.parse in threads",
                                          parse_only, texts)
    base = parse_result["rows"][0]["mbps"]
    show(1, parse_result, base, notes)

    matches = count_matches(texts)
    result, notes = thread_workload(
        "parse_select", "quillet.parse + select(%s) in threads" % ", ".join(SELECTORS),
        parse_and_select, texts,
        ["matches over the documents: " + ", ".join(
            "%s %d" % (s, m) for s, m in matches.items())])
    show(2, result, base, notes)

    pool_docs = parse_result["documents"]
    pool_paths = [paths[names.index(name)] for name in pool_docs]
    result = measure("ProcessPoolExecutor, parse and return the tree", "workers",
                     counts, rounds, parse_result["bytes"],
                     lambda n, r: time_pool(n, pool_paths, r))
    result["documents"] = pool_docs
    figures["workloads"]["process_pool"] = result
    show(3, result, base, ["the workers read the documents when they start; "
                           "each round sends an index, the tree comes back pickled"])

    long_mb = 8 if args.quick else args.long_mb
    counter = count_during_parse(long_mb)
    figures["counter"] = counter
    print_table("4. A Python thread counting in a loop, alone and while parse reads %d MB "
                "in the main thread" % long_mb, ["", "counts/s", "vs alone"],
                [["alone", fmt_num(counter["alone"]), "1.00"],
                 ["during parse", fmt_num(counter["during"]),
                  fmt_num(counter["during"] / counter["alone"])]],
                ["parse took %.2f s with the counter running" % counter["parse_s"]])

    ctrl_c_mb = 16 if args.quick else args.ctrl_c_mb
    latency = ctrl_c_latency(ctrl_c_mb, max(counts) if max(counts) > 1 else 2)
    figures["ctrl_c"] = latency
    print_table("5. Ctrl-C on a %d MB parse in the main thread while %d other threads parse a "
                "160 KB page over and over: SIGINT sent %.1f s in"
                % (ctrl_c_mb, latency["others"], latency["after_s"]),
                ["from SIGINT to KeyboardInterrupt", "s"],
                [["worst of %d" % latency["runs"], "%.3f" % max(latency["latencies"])],
                 ["best", "%.3f" % min(latency["latencies"])]])

    # lxml last: on a free-threaded build, importing it turns the GIL on.
    try:
        from lxml import html
    except ImportError as exc:
        print("\n6. lxml.html.fromstring in threads: skipped, lxml does not import (%s)"
              % exc)
        figures["workloads"]["lxml"] = {"skipped": str(exc)}
    else:
        fromstring = html.fromstring

        def lxml_parse(data):
            fromstring(data)

        notes = ["lxml %s; GIL at run time after importing it: %s"
                 % (package_version("lxml"), gil_state())]
        result, notes = thread_workload(
            "lxml", "lxml.html.fromstring(UTF-8 bytes) in threads", lxml_parse,
            datas, notes)
        show(6, result, base, notes)

    if args.json:
        with open(args.json, "w") as f:
            json.dump(figures, f, indent=1)
        print("\nfigures written: %s" % args.json)
    return 0


if __name__ == "__main__":
    sys.exit(main())
