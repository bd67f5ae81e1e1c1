"""parse from several threads at once: same results as one after another, no hang."""
import sys
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
