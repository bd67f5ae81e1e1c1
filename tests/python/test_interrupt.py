"""A long parse can be interrupted: signal handlers run while the tree is
built, an exception they raise ends the parse cleanly, and a handler may
parse too. Each test runs in a child process, whose signals it owns."""
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

pytestmark = pytest.mark.skipif(sys.platform != "linux", reason="signals as on Linux")

# Children print one line of results; elements with content, empty ones and
# text, so every kind of node is being built when a signal comes.
COMMON = textwrap.dedent(
    """
    import gc, signal, sys, time, quillet
    UNIT = '<p class="c">text <b>bold</b><br/></p>\\n'
    """
)


def run_child(body, timeout=120):
    out = subprocess.run([sys.executable, "-c", COMMON + textwrap.dedent(body)],
                         capture_output=True, text=True, timeout=timeout)
    assert out.returncode == 0, out.stderr
    return out.stdout.split()


# Inputs that keep one stage busy for seconds: tags of every kind being
# built, tags that never close (the index of 80 million tags, then a scan
# that finds no element), and the same inside one unmatched "<" (80 million
# tags held back until the text ends, in arrays that grow past a gigabyte).
# Then single tags that are long: 40 million attributes of one key (read by
# the index, then text for the key repeated), with and without a closing;
# 2.5 million distinct ones (an element: one dict of them, built in seconds);
# one value, and one text run, of 1.5 billion characters (each copied into
# one str).
MANY_KEYS = "''.join('k%d=\"%d\" ' % (i, i) for i in range(2_500_000))"
LONG_INPUTS = [
    pytest.param("UNIT * (64_000_000 // len(UNIT))", id="elements"),
    pytest.param('"<p>" * 80_000_000', id="unclosed", marks=pytest.mark.bigmem(4)),
    pytest.param('"<" + "<p>" * 80_000_000', id="inside_bracket", marks=pytest.mark.bigmem(4)),
    pytest.param("'<a ' + 'k=\"\" ' * 40_000_000 + '>'", id="long_tag", marks=pytest.mark.bigmem(4)),
    pytest.param("'<a ' + 'k=\"\" ' * 40_000_000 + '></a>'", id="long_tag_closed",
                 marks=pytest.mark.bigmem(4)),
    pytest.param("'<a ' + %s + '></a>'" % MANY_KEYS, id="many_attributes", marks=pytest.mark.bigmem(2)),
    pytest.param("'<a k=\"' + 'v' * 1_500_000_000 + '\"></a>'", id="long_value",
                 marks=pytest.mark.bigmem(6)),
    pytest.param("'v' * 1_500_000_000 + '<a></a>'", id="long_run", marks=pytest.mark.bigmem(6)),
]


@pytest.mark.slow
@pytest.mark.parametrize("doc", LONG_INPUTS)
def test_ctrl_c_from_another_process_stops_a_long_parse_within_half_a_second(doc):
    interrupted_within_half_a_second("quillet.parse(doc)", doc)


@pytest.mark.parametrize("doc", ['"<br>" * 10_000_000', '"<a b>" * 10_000_000'])
def test_ctrl_c_stops_explain_within_half_a_second(doc):
    # Indexing, then ten million rows to make.
    interrupted_within_half_a_second("quillet_tree._native.explain(doc)", doc)


def interrupted_within_half_a_second(call, doc):
    child = subprocess.Popen(
        [sys.executable, "-c", COMMON + textwrap.dedent(
            """
            import quillet_tree
            doc = %s
            print("ready", flush=True)
            try:
                %s
                print("finished")
            except KeyboardInterrupt:
                print("interrupted", time.monotonic(), gc.isenabled())
            assert quillet.parse(UNIT * 3) == quillet.parse(UNIT * 3)
            print("next call ok")
            """ % (doc, call))],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(0.5)
        sent = time.monotonic()
        os.kill(child.pid, signal.SIGINT)
        out, err = child.communicate(timeout=120)
    finally:
        child.kill()
    assert child.returncode == 0, err
    outcome, at, collector = out.split("\n")[0].split()
    assert outcome == "interrupted"
    assert float(at) - sent < 0.5
    assert collector == "True"
    assert "next call ok" in out


def test_interrupted_calls_release_everything():
    # A timer raises in its handler while parse builds; every call ends with
    # the handler's exception, and nothing the calls built stays allocated.
    interrupted, blocks, share = run_child(
        """
        class Stop(Exception):
            pass

        def stop(signum, frame):
            raise Stop

        signal.signal(signal.SIGALRM, stop)
        doc = UNIT * 200_000

        def interrupted_calls(times):
            spans = []
            for _ in range(times):
                start = time.perf_counter()
                signal.setitimer(signal.ITIMER_REAL, 0.01)
                try:
                    quillet.parse(doc)
                except Stop:
                    spans.append(time.perf_counter() - start)
                finally:
                    signal.setitimer(signal.ITIMER_REAL, 0)
            return sorted(spans)

        start = time.perf_counter()
        quillet.parse(doc)
        whole = time.perf_counter() - start
        interrupted_calls(3)
        gc.collect()
        before = sys.getallocatedblocks()
        spans = interrupted_calls(40)
        gc.collect()
        print(len(spans), sys.getallocatedblocks() - before, spans[len(spans) // 2] / whole)
        """
    )
    assert int(interrupted) >= 30  # a call that outran the timer is no failure
    assert int(blocks) < 1000  # one tree left behind would be a million blocks
    assert float(share) < 0.5  # the calls stopped early, not after parse returned


def test_a_handler_may_parse_and_the_interrupted_parse_goes_on():
    same, handled = run_child(
        """
        small = '<a id="i" class="x y" style="s" k="v">t<br/></a>' * 50
        seen = []

        inside = False

        def handler(signum, frame):
            if inside:
                seen.append(quillet.parse(small) == expected_small)

        expected_small = quillet.parse(small)
        doc = UNIT * 300_000
        expected = quillet.parse(doc)
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.005, 0.005)
        try:
            inside = True
            got = quillet.parse(doc)
            inside = False
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
        print(got == expected, "%d/%d" % (sum(seen), len(seen)))
        """
    )
    assert same == "True"
    good, calls = map(int, handled.split("/"))
    assert calls > 0 and good == calls


# Python code run while parse builds: a signal handler, the finalizers of
# garbage cycles, a gc callback. A timer keeps firing; where the handler
# itself does not probe, it allocates, so that collections (and with them
# finalizers and callbacks) run while it does: more than 512 objects, the
# batch in which a free-threaded interpreter adds a thread's allocations to
# the count that starts a collection.
RUN_DURING_PARSE = {
    "signal": "signal.signal(signal.SIGALRM, lambda *a: probe())",
    "finalizer": """
        class Ring:
            __slots__ = ("me",)
            def __init__(self):
                self.me = self
            def __del__(self):
                probe()
                Ring()  # more garbage for the next collection
        Ring()
        signal.signal(signal.SIGALRM, lambda *a: [[] for _ in range(600)])
    """,
    "gc_callback": """
        gc.callbacks.append(lambda phase, info: probe())
        signal.signal(signal.SIGALRM, lambda *a: [[] for _ in range(600)])
    """,
}


@pytest.mark.parametrize("trigger", RUN_DURING_PARSE)
def test_code_run_during_parse_never_meets_the_tree_being_built(trigger):
    # The probe takes every list and dict that the collector knows of and
    # that is new since the call began, looks into it and empties the lists.
    # None of them may belong to the tree parse returns, and nothing crashes.
    shared, probes = run_child(
        """
        met, calls, busy, inside = [], [0], [False], [False]
        before = gc.get_objects()
        known = set(map(id, before))

        def probe():
            if busy[0] or not inside[0] or calls[0] >= 40:
                return
            busy[0] = True
            calls[0] += 1
            objects = gc.get_objects()
            for o in objects:
                if o is objects or id(o) in known or type(o) not in (list, dict):
                    continue
                met.append(o)  # held, so no id is used again by the tree
                if type(o) is dict:
                    o.get("children"), len(o)
                else:
                    len(o), o[:1]
                    o.clear()
            busy[0] = False

        doc = UNIT * 200_000
        # The timer stops well before parse ends: a signal still pending when
        # it returns would be handled before the next line, and its probe
        # would meet the finished tree.
        durations = []
        for _ in range(2):  # the first call also gets its memory from the system
            start = time.perf_counter()
            quillet.parse(doc)
            durations.append(time.perf_counter() - start)
        duration = min(durations)
        gc.collect()
        gc.set_threshold(50)
        %s
        handler = signal.getsignal(signal.SIGALRM)

        def until_stop(signum, frame):
            if time.perf_counter() > stop_at:
                signal.setitimer(signal.ITIMER_REAL, 0)
            handler(signum, frame)

        signal.signal(signal.SIGALRM, until_stop)
        stop_at = time.perf_counter() + 0.5 * duration
        signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
        inside[0] = True
        tree = quillet.parse(doc)
        inside[0] = False
        signal.setitimer(signal.ITIMER_REAL, 0)
        gc.callbacks.clear()
        tree_ids, stack = set(), [tree]
        while stack:
            node = stack.pop()
            tree_ids.add(id(node))
            if type(node) is dict:
                tree_ids.add(id(node["classes"]))
                stack.append(node["children"])
            elif type(node) is list:
                stack.extend(c for c in node if type(c) is not str)
        print(sum(id(o) in tree_ids for o in met), calls[0])
        """ % textwrap.indent(textwrap.dedent(RUN_DURING_PARSE[trigger]), " " * 8).strip()
    )
    assert shared == "0"
    assert int(probes) > 0


@pytest.mark.parametrize("caller_enabled", [True, False])
def test_the_collector_ends_as_the_callers_code_last_set_it(caller_enabled):
    # A handler that finds the collector as its caller's code set it, and
    # switches it each time: after parse, the collector is as the last
    # handler left it.
    seen, final = run_child(
        """
        seen = []

        def switch(signum, frame):
            seen.append(gc.isenabled())
            (gc.disable if seen[-1] else gc.enable)()
            signal.setitimer(signal.ITIMER_REAL, 0.003)  # once done: no call inside another

        signal.signal(signal.SIGALRM, switch)
        (gc.enable if %s else gc.disable)()
        signal.setitimer(signal.ITIMER_REAL, 0.003)
        quillet.parse(UNIT * 300_000)
        signal.signal(signal.SIGALRM, signal.SIG_IGN)
        print("".join("+-"[not s] for s in seen), gc.isenabled())
        """ % caller_enabled
    )
    # Each call found the state the previous one set.
    expected = "".join("+-"[(i % 2 == 0) != caller_enabled] for i in range(len(seen)))
    assert len(seen) >= 2
    assert seen == expected
    assert final == str(seen[-1] == "-")
