"""parse from several threads at once: same results as one after another, no hang."""
import subprocess
import sys
import textwrap
import threading

import pytest

import quillet

DOCUMENTS = [
    '<div id="d{i}" class="a b" data-n="{i}">text {i} <b>bold</b><br/> tail</div> after',
    "<ul>" + "<li>item {i}</li>" * 50 + "</ul><p>unclosed {i}",
    "<a>" * 200 + "{i}" + "</a>" * 200,
    "\u00e9\U0001f600 <p title=\"<p>\">x{i}</p></p> <span style=\"s\">\u4e16</span>",
]


def test_eight_threads_get_the_sequential_results():
    texts = [DOCUMENTS[i % len(DOCUMENTS)].format(i=i) * (1 + i) for i in range(8)]
    expected = [quillet.parse(t) for t in texts]
    start = threading.Barrier(8)
    got = [[] for _ in texts]

    def work(i):
        start.wait()
        for k in range(300):
            got[i].append(quillet.parse(texts[(i + k) % 8]))

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as the interpreter allows
    try:
        threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    for i in range(8):
        assert all(tree == expected[(i + k) % 8] for k, tree in enumerate(got[i])), i


# In a fresh interpreter: the n-th allocation of the first parse fails while
# sys.excepthook (which reports the failure) lets a second thread run its own
# first parse. Failures among the first allocations hit the creation of the
# shared dict keys, which once left the second thread waiting for them with
# the GIL held, and both threads hung.
FIRST_USE = textwrap.dedent(
    """
    import sys, threading, time, _testcapi, quillet
    n = int(sys.argv[1])
    go = threading.Event()
    other = {}
    def second():
        go.wait()
        other["tree"] = quillet.parse("<b>y</b>")
    t = threading.Thread(target=second)
    t.start()
    def hook(*args):
        go.set()
        time.sleep(0.2)
    sys.excepthook = hook
    _testcapi.set_nomemory(n, n + 1)
    try:
        quillet.parse('<a id="x">t</a>')
        outcome = "ok"
    except MemoryError:
        outcome = "MemoryError"
    except BaseException as exc:
        outcome = type(exc).__name__
    finally:
        _testcapi.remove_mem_hooks()
    go.set()
    t.join()
    assert other["tree"] == quillet.parse("<b>y</b>") != None
    print(outcome)
    """
)


def test_failed_first_use_while_another_thread_parses_does_not_hang():
    pytest.importorskip("_testcapi")
    outcomes = []
    for n in range(16):
        out = subprocess.run([sys.executable, "-c", FIRST_USE, str(n)],
                             capture_output=True, text=True, timeout=60)
        assert out.returncode == 0, (n, out.stderr)
        outcomes.append(out.stdout.strip())
    assert "PanicException" in outcomes
