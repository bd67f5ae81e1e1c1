"""quillet and quillet_tree from many threads at once.

Threads started together at a barrier call every function on shared trees and
must get what the same calls gave one after another; threads that change
trees while others walk them crash nothing, raise only what a changing tree
may raise and leak nothing; the collector's switch ends as the caller set it;
Ctrl-C stops a long parse while other threads go on parsing; and on a
free-threaded build importing both modules leaves the GIL off.

On builds with a GIL the switch interval is a microsecond while threads run,
so that they take turns as often as the interpreter allows.

QUILLET_STRESS_ROUNDS (default 1) multiplies the work of every threaded test,
so that CI can run them long: QUILLET_STRESS_ROUNDS=50 python -m pytest
tests/python/test_threads.py
"""
import copy as stdlib_copy
import functools
import gc
import itertools
import json
import os
import pathlib
import random
import subprocess
import sys
import sysconfig
import threading
import time
from typing import NamedTuple

import pytest

import markup_inputs
import quillet
import quillet_tree as qt
import tree_gen

ROUNDS = max(1, int(os.environ.get("QUILLET_STRESS_ROUNDS", "1")))
FREE_THREADED = sysconfig.get_config_var("Py_GIL_DISABLED") == 1
CORPUS = pathlib.Path(__file__).resolve().parents[3] / "shared" / "corpus"
PAGES = ["fragment-small.html", "wpt-grouping-dl.html", "saved-daringfireball-1.html",
         "web-hacker-news.html", "book-devils-dictionary-s.xhtml"]
DOCUMENTS = [
    '<div id="d{i}" class="a b" data-n="{i}">text {i} <b>bold</b><br/> tail</div> after',
    "<ul>" + "<li>item {i}</li>" * 50 + "</ul><p>unclosed {i}",
    "<a>" * 200 + "{i}" + "</a>" * 200,
    "\u00e9\U0001f600 <p title=\"<p>\">x{i}</p></p> <span style=\"s\">\u4e16</span>",
]


@pytest.fixture(autouse=True)
def switch_often():
    old = sys.getswitchinterval()
    if not FREE_THREADED:
        sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def together(*targets, timeout=120):
    """Runs each callable on a thread of its own, all let go at one barrier;
    re-raises the first exception one raised, and fails on one that hangs."""
    barrier, errors = threading.Barrier(len(targets)), []

    def run(target):
        barrier.wait()
        try:
            target()
        except BaseException as exc:  # noqa: B036 - reported in the test's thread
            errors.append(exc)

    threads = [threading.Thread(target=run, args=(t,), daemon=True) for t in targets]
    for t in threads:
        t.start()
    deadline = time.monotonic() + timeout
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
    assert not any(t.is_alive() for t in threads), "a thread hangs"
    if errors:
        raise errors[0]


# -- the same calls, serially and from many threads ----------------------------------------

class Input(NamedTuple):
    name: str
    data: bytes  # what decode reads
    text: str  # what parse reads
    tree: object  # shared by every thread, only read
    twin: object  # what equal compares the tree with
    json: str  # what from_json reads


def markup_input(name, data):
    text = qt.decode(data)
    tree = quillet.parse(text)
    return Input(name, data, text, tree, quillet.parse(text), json.dumps(tree))


def tree_input(seed):
    rng = random.Random(seed)
    tree = tree_gen.Trees(rng.randrange, odd=False).tree()
    text = json.dumps(tree)
    return Input(f"tree{seed}", text.encode(), text, tree, tree_gen.mutated(rng.randrange, tree), text)


@functools.lru_cache(maxsize=None)
def inputs(group):
    if group == "corpus":
        if not CORPUS.is_dir():
            pytest.skip("corpus not present")
        return [markup_input(name, (CORPUS / name).read_bytes()) for name in PAGES]
    rng = random.Random(7)
    texts = [d.format(i=i) * (1 + i) for i, d in enumerate(DOCUMENTS)] + ["".join(markup_inputs.CASES)]
    # The longest is indexed with the interpreter given up.
    texts += [markup_inputs.random_text(rng, n) for n in (20, 2000, 8000)] + markup_inputs.families(20)[::4]
    found = [markup_input(f"markup{i}", t.encode("utf-8", "surrogatepass")) for i, t in enumerate(texts)]
    return found + [tree_input(seed) for seed in range(6)]


MATCH = qt.compile("a[href], li:nth-child(odd), div > p b, :has(> b), p:last-child, :empty")
CALLS = {
    "decode": lambda i: qt.decode(i.data),
    "parse": lambda i: quillet.parse(i.text),
    "select": lambda i: [id(e) for e in qt.select(i.tree, "p a, ul > li, [id] ~ *, .a")],
    "compiled": lambda i: [id(e) for e in MATCH.select(i.tree)],
    "select_one": lambda i: id(qt.select_one(i.tree, "p ~ * b, :has(+ p)")),
    "drop": lambda i: qt.drop(i.tree, "script, style, :has(> b)"),
    "text": lambda i: qt.text(i.tree, " ", skip=("script", "style")),
    "copy": lambda i: qt.copy(i.tree),
    "equal": lambda i: qt.equal(i.tree, i.twin),
    "to_json": lambda i: qt.to_json(i.tree, ensure_ascii=False),
    "from_json": lambda i: qt.from_json(i.json),
    "to_markup": lambda i: qt.to_markup(i.tree),
    "source": lambda i: (lambda s: (s.spans(), s.remove("script, b", comments=True)))(qt.Source(i.text)),
}


def outcome(call, arg):
    try:
        return call(arg)
    except Exception as exc:
        return type(exc), str(exc)


@pytest.mark.parametrize("group", ["corpus", "generated"])
def test_threads_get_what_serial_calls_got(group):
    work = [(name, i) for i in inputs(group) for name in CALLS]
    expected = [outcome(CALLS[name], i) for name, i in work]
    wrong = []

    def worker(t):
        for k in range(3 * ROUNDS):
            for j in range(len(work)):
                n = (j + 5 * t + k) % len(work)  # each thread at another call
                name, i = work[n]
                if outcome(CALLS[name], i) != expected[n]:
                    wrong.append((name, i.name))

    # Each round takes seconds on a free-threaded build: the time allowed
    # grows with the rounds.
    together(*[functools.partial(worker, t) for t in range(8)], timeout=max(120, 4 * ROUNDS))
    assert not wrong


def test_one_source_read_from_many_threads():
    # Its tables are made on first use, by whichever thread comes first.
    text = RACE_DOC
    serial = qt.Source(text)
    want = [serial.location(e) for e in qt.select(serial.tree, "b")], serial.visible_text()
    shared, wrong = qt.Source(text), []

    def worker():
        for _ in range(3 * ROUNDS):
            got = [shared.location(e) for e in qt.select(shared.tree, "b")], shared.visible_text()
            if got != want:
                wrong.append(got)

    together(*[worker] * 8)
    assert not wrong


# -- trees changed while other threads read them ---------------------------------------------

# 700 items: its markup is long enough for to_markup's parse to give the
# interpreter up. Every change keeps a tree that markup gives.
RACE_DOC = ('<ul id="list">' + "".join(f'<li class="a b" data-k="{i}">item<b>{i}</b></li>' for i in range(700))
            + '</ul><p class="end">done</p>')
CLASS_LISTS = [["c"], ["a", "b"], ["b"]]


def fresh(markup):
    return quillet.parse(markup)[0]


def change(tree, rng):
    items = tree[0]["children"]
    op = rng.randrange(10)
    try:  # another thread may shorten or empty the list between len() and the change
        li = items[rng.randrange(len(items))]
        if op == 0:
            items.append(fresh('<li class="c">new<b>n</b></li>'))
        elif op == 1:
            items.insert(rng.randrange(len(items) + 1), fresh("<li>in<b>i</b></li>"))
        elif op == 2 and len(items) > 100:
            del items[rng.randrange(len(items))]
        elif op == 3:
            items[rng.randrange(len(items))] = fresh('<li class="a" data-x="r">re<b>r</b></li>')
        elif op == 4:
            li["classes"] = list(rng.choice(CLASS_LISTS))
        elif op == 5:
            li["data-x"] = "v"
        elif op == 6:
            li.pop("data-x", None)
        elif op == 7:
            li["children"].clear()
            li["children"].extend(["t", fresh("<b>x</b>")])
        elif op == 8:
            li["children"] = ["u", fresh("<b>y</b>")]
        elif rng.randrange(20) == 0:
            items.clear()
            items.extend(quillet.parse(RACE_DOC)[0]["children"])
    except (IndexError, ValueError):
        pass


# Each read returns whether its result holds what no change can make false.
READS = {
    "select": lambda t, o: all(e["tag"] == "b" for e in qt.select(t, "li.a > b, li[data-x] b")),
    "select_one": lambda t, o: qt.select_one(t, "li:has(> b):nth-last-child(3), p") is not None,
    "drop": lambda t, o: qt.select(qt.drop(t, "b, li:empty ~ p"), "b") == [],
    "text": lambda t, o: qt.text(t, skip="b").endswith("done"),
    "copy": lambda t, o: (lambda c: qt.to_json(c) == json.dumps(c))(qt.copy(t)),
    "equal": lambda t, o: qt.equal(t, o) in (True, False) and qt.equal(t, t),
    "to_json": lambda t, o: json.loads(qt.to_json(t))[1]["classes"] == ["end"],
    "to_markup": lambda t, o: quillet.parse(qt.to_markup(t))[1]["tag"] == "p",
}
# What a tree changed during the call may raise.
CHANGED = {"copy": (RuntimeError, "changed size during copy"), "drop": (RuntimeError, "changed during"),
           "to_markup": (ValueError, "cannot write")}


def race(trees, seed):
    """Three threads change the trees while five read them; the reads' faults."""
    done, faults = threading.Event(), []

    def changer(k):
        rng = random.Random(seed + k)
        for n in itertools.count():
            if done.is_set():
                return
            change(rng.choice(trees), rng)
            if n % 16 == 0:
                time.sleep(1e-4)  # leaves the readers most of a loaded machine

    def reader(k):
        rng = random.Random(seed - k)
        for _ in range(20):
            for name, read in READS.items():
                t = rng.choice(trees)
                kind, words = CHANGED.get(name, ((), ""))
                try:
                    if not read(t, trees[0] if t is trees[1] else trees[1]):
                        faults.append(name)
                except kind as exc:
                    if words not in str(exc):
                        faults.append((name, exc))

    def readers():
        try:
            together(*[functools.partial(reader, k) for k in range(5)])
        finally:
            done.set()

    together(readers, *[functools.partial(changer, k) for k in range(3)])
    return faults


def test_changing_trees_while_others_read_them():
    rng = random.Random(11)
    race([quillet.parse(RACE_DOC) for _ in range(2)], 0)  # warm up caches and free lists
    gc.collect()
    before = sys.getallocatedblocks()
    for n in range(3 * ROUNDS):
        trees = [quillet.parse(RACE_DOC) for _ in range(2)]
        assert race(trees, rng.randrange(1 << 30)) == []
        for t in trees:  # still trees the helpers read right, as their peers do
            assert qt.copy(t) == t == stdlib_copy.deepcopy(t)
            assert qt.to_json(t) == json.dumps(t)
            assert quillet.parse(qt.to_markup(t)) == t
            bs = [b for li in t[0]["children"] for b in li["children"] if isinstance(b, dict)]
            assert list(map(id, qt.select(t, "li > b"))) == list(map(id, bs))
        del trees, t, bs
    gc.collect()
    # 800 reads and thousands of changes a round: a block kept by each would
    # show 2,400 or more; the interpreter's own count moves by a few dozen.
    assert sys.getallocatedblocks() - before < 500


# -- the collector's switch ---------------------------------------------------------------

@pytest.mark.parametrize("enabled", [True, False])
def test_the_collector_ends_as_set_when_threads_pause_it_at_once(enabled):
    doc = markup_inputs.random_text(random.Random(3), 8000)  # long enough to index without the GIL
    tree = quillet.parse(doc)
    text, wrong = json.dumps(tree), []
    jobs = [lambda: quillet.parse(doc), lambda: qt.copy(tree), lambda: qt.from_json(text)]

    def worker(job):
        for _ in range(4 * ROUNDS):
            if job() != tree:
                wrong.append(job)

    was = gc.isenabled()
    try:
        (gc.enable if enabled else gc.disable)()
        together(*[functools.partial(worker, jobs[k % 3]) for k in range(7)])
        assert gc.isenabled() is enabled
    finally:
        (gc.enable if was else gc.disable)()
    assert not wrong


# -- Ctrl-C ---------------------------------------------------------------------------------

@pytest.mark.skipif(sys.platform != "linux", reason="signals as on Linux")
def test_ctrl_c_stops_a_long_parse_while_other_threads_parse_on():
    from test_interrupt import run_child

    outcome, delay, right, after, last = run_child(
        """
        import threading
        if not %s:
            sys.setswitchinterval(1e-6)
        page = UNIT * 3000  # indexed with the interpreter given up
        expected = quillet.parse(page)
        doc = UNIT * (32_000_000 // len(UNIT))  # a second or more
        calls, wrong, stop, inside, sent = [0] * 3, [], threading.Event(), threading.Event(), []

        def parse_on(k):
            while not stop.is_set():
                if quillet.parse(page) != expected:
                    wrong.append(k)
                calls[k] += 1

        def ctrl_c():
            inside.wait()
            time.sleep(0.2)
            sent.append(time.monotonic())
            signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

        threads = [threading.Thread(target=parse_on, args=(k,)) for k in range(3)]
        threads.append(threading.Thread(target=ctrl_c))
        for t in threads:
            t.start()
        try:
            inside.set()
            quillet.parse(doc)
            outcome = "finished"
        except KeyboardInterrupt:
            outcome = "interrupted"
        at = time.monotonic()
        seen = list(calls)  # each other thread ends at least one call begun after this
        while min(c - s for c, s in zip(calls, seen)) < 2 and time.monotonic() < at + 60:
            time.sleep(0.01)
        stop.set()
        for t in threads:
            t.join()
        print(outcome, at - sent[0], not wrong, min(c - s for c, s in zip(calls, seen)),
              quillet.parse(page) == expected)
        """ % FREE_THREADED)
    assert outcome == "interrupted"
    assert float(delay) < 2.0
    assert (right, last) == ("True", "True") and int(after) >= 2


# -- the GIL on a free-threaded build -------------------------------------------------------

@pytest.mark.skipif(not FREE_THREADED, reason="free-threaded builds only")
@pytest.mark.parametrize("imports", ["quillet, quillet_tree", "quillet_tree, quillet"])
def test_importing_leaves_the_gil_off(imports):
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    out = subprocess.run([sys.executable, "-W", "error", "-c", f"import sys, {imports}; print(sys._is_gil_enabled())"],
                         capture_output=True, text=True, env=env, timeout=60)
    assert (out.returncode, out.stderr, out.stdout) == (0, "", "False\n")
