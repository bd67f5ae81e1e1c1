"""Every program under examples/ runs as documented: on the bundled sample and on
a document nested far deeper than Python's recursion limit."""
import collections
import importlib.util
import json
import os
import pathlib
import subprocess
import sys
import time

import pytest

import quillet
import quillet_tree

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
SAMPLE = EXAMPLES / "sample.html"


def elements(tree):
    """Every element of `tree`, by a walk of its own (the examples use
    quillet_tree; the checks here do not lean on it)."""
    stack = [tree]
    while stack:
        for node in stack.pop():
            if isinstance(node, dict):
                yield node
                stack.append(node["children"])


def run(script, *args):
    out = subprocess.run([sys.executable, str(EXAMPLES / script), *map(str, args)],
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    return out.stdout.splitlines()


def rebuild(lines):
    """The tree again, from to_json_lines' records."""
    top, elements = [], {}
    for record in map(json.loads, lines):
        siblings = top if record["parent"] is None else elements[record["parent"]]["children"]
        if "text" in record:
            siblings.append(record["text"])
        else:
            node = {k: v for k, v in record.items() if k not in ("index", "parent", "depth")}
            node["children"] = []
            elements[record["index"]] = node
            siblings.append(node)
    return top


@pytest.mark.parametrize(
    "script, args, expected",
    [
        ("extract_links.py", [], ["/\t", "/specials\tSpecials", "/menu\tMenu", "/visit\tVisit us",
                                  "mailto:hello@harbourlights.example\thello@harbourlights.example"]),
        ("extract_links.py", [EXAMPLES / "news.html"],
         ["/\tHome", "/search?q=tides&page=2\tMore tides", "/ferries\tFerries"]),
        ("find_by_class.py", ["photo"], ["<figure> Fresh out of the oven at 6 a.m."]),
        ("find_by_class.py", ["site-header"], ["<header#top> Specials Menu Visit us"]),
        ("find_by_class.py", ["compact"], ["<ul> Cardamom buns Sourdough new Pear & almond tart"]),
        ("find_by_class.py", ["note"], []),  # single-quoted class: that tag is text
    ],
)
def test_sample_output(script, args, expected):
    assert run(script, *args) == expected


ODD_CLASSES = ["1a", "-2x", "-", "--", "_", "a.b", "a#b:c", "[x]", "a\\b", "é🐍", "a\x01b", "a'b",
               "100%", "a,b"]


def test_find_by_class_escapes_any_class_name():
    """Each class, escaped into a selector, finds what elements(cls=...) finds."""
    found = importlib.util.spec_from_file_location("find_by_class", EXAMPLES / "find_by_class.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    page = "".join(f'<p class="{name} other" id="p{i}">x</p><p class="{name}x">y</p>'
                   for i, name in enumerate(ODD_CLASSES))
    for name in ODD_CLASSES:
        expected = list(quillet_tree.elements(quillet.parse(page), cls=name))
        assert len(expected) == 1 and module.by_class(page, name) == expected, name


def test_parallel_parse(tmp_path):
    other = tmp_path / "links.html"
    other.write_text('<p><a href="x">1</a> <a>2</a></p>' * 3)
    expected = [f"{SAMPLE}\t40 elements\t5 links", f"{other}\t9 elements\t6 links"]
    assert run("parallel_parse.py", SAMPLE, other, SAMPLE) == expected + expected[:1]


def test_dask_links():
    pytest.importorskip("dask.bag")
    out = run("dask_links.py", SAMPLE, SAMPLE, SAMPLE)
    assert sorted(out) == ["3\t/", "3\t/menu", "3\t/specials", "3\t/visit",
                           "3\tmailto:hello@harbourlights.example"]


CLUSTER_CLOSE_SECONDS = 30


@pytest.fixture(scope="module")
def dask_cluster():
    """A dask.distributed cluster on loopback only: a scheduler in this process
    and two worker processes, all talking over TCP on 127.0.0.1. Closing it is
    bounded, and its worker processes must be gone afterwards; should this
    process die first, the workers leave by themselves once the scheduler has
    been gone for death_timeout seconds."""
    distributed = pytest.importorskip("dask.distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address="127.0.0.1:0",
                                  death_timeout=60) as cluster:
        with distributed.Client(cluster) as client:
            pids = client.run(os.getpid)
        addresses = [cluster.scheduler_address, *pids]
        assert len(pids) == 2 and all(a.startswith("tcp://127.0.0.1:") for a in addresses)
        yield cluster
        start = time.monotonic()
        cluster.close(timeout=CLUSTER_CLOSE_SECONDS)
        print(f"dask cluster closed in {time.monotonic() - start:.1f} s")
    for pid in pids.values():
        with pytest.raises(ProcessLookupError):
            os.kill(pid, 0)


def sequential_link_counts(pages):
    """How often each href occurs over `pages`, counted one page after another."""
    return collections.Counter(
        element["href"] for page in pages
        for element in elements(quillet.parse(page.read_text(encoding="utf-8")))
        if element["tag"] == "a" and isinstance(element.get("href"), str))


@pytest.mark.parametrize("on_cluster", [False, True], ids=["local", "cluster"])
def test_dask_links_counts_what_a_sequential_walk_counts(request, tmp_path, on_cluster):
    pytest.importorskip("dask.bag")
    other = tmp_path / "links.html"
    other.write_text('<p><a href="/menu">m</a> <a href="x">1</a> <a>no target</a> '
                     '<a href="y"><a href="x">2</a></a></p>')
    pages = [SAMPLE, other, SAMPLE, other, other, SAMPLE]
    options = []
    if on_cluster:
        cluster = request.getfixturevalue("dask_cluster")
        options = ["--scheduler", cluster.scheduler_address]
    out = [line.split("\t") for line in run("dask_links.py", *options, *pages)]
    expected = sequential_link_counts(pages)
    assert len(expected) <= 10  # the example prints the ten most common
    assert len(out) == len(expected) and {href: int(n) for n, href in out} == expected
    if on_cluster:  # the bag ran on the cluster, not on a local scheduler
        assert cluster.scheduler.task_prefixes


def test_parse_sample_prints_the_tree():
    tree = quillet.parse(SAMPLE.read_text(encoding="utf-8"))
    assert json.loads("\n".join(run("parse_sample.py"))) == tree


def test_json_lines_rebuild_the_tree():
    tree = quillet.parse(SAMPLE.read_text(encoding="utf-8"))
    assert json.dumps(rebuild(run("to_json_lines.py"))) == json.dumps(tree)


DEPTH = 2000  # twice the default recursion limit


@pytest.mark.parametrize(
    "script, args, opening, closing, check",
    [
        ("extract_links.py", [], '<a href="{i}">', "</a>",
         lambda out: out == [f"{i}\tx" for i in range(DEPTH)]),
        ("find_by_class.py", ["k"], '<div class="k" id="d{i}">', "</div>",
         lambda out: out[0] == "<div#d0> x" and len(out) == DEPTH),
        ("to_json_lines.py", [], '<p title="{i}">', "</p>",
         lambda out: json.loads(out[-1]) == {"index": DEPTH, "parent": DEPTH - 1, "depth": DEPTH,
                                             "text": "x"}),
    ],
)
def test_deep_documents(tmp_path, script, args, opening, closing, check):
    path = tmp_path / "deep.html"
    path.write_text("".join(opening.format(i=i) for i in range(DEPTH)) + "x" + closing * DEPTH)
    assert check(run(script, *args, path))
