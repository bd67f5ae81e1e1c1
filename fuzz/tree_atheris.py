"""atheris harness over quillet_tree's helpers.

    python3 fuzz/tree_atheris.py [libFuzzer flags] [corpus folders]

The input's bytes are the choices of the tree generator the differential
tests use (tests/python/tree_gen.py). Each input makes one of: a tree of any
objects (lists, dicts, tuples, str/list/dict subclasses, odd leaves, shared
containers; with the second choice, containers that hold themselves), a tree
of nodes (text runs and elements, some missing keys or holding a str where a
list belongs; shared or cyclic too), or a JSON text, whole or broken. Every
helper then runs on it against its counterpart, with the checks of
tests/python/tree_checks.py: to_json and json.dumps, from_json and
json.loads (message and position of errors included), copy and
copy.deepcopy (the same sharing and new objects), equal and == on a tree and
a copy changed in one place, walk, text and elements against the obvious
walk, to_markup raising ValueError for a cycle. No helper may raise
SystemError. A helper that loops on a cycle shows up as a timeout (-timeout),
one that grows without end as running out of memory (-rss_limit_mb).
"""
import copy
import pathlib
import sys

import atheris
import hypothesis  # noqa: F401 - imported before instrumenting, so left out of it

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))
# atheris steers by the harness's branches: the generator's and the checks'.
with atheris.instrument_imports(include=["tree_gen", "tree_checks"]):
    from tree_checks import (check_copy, check_elements, check_equal, check_from_json, check_to_json,
                             check_text, check_to_markup, check_walk)
    from tree_gen import FILTERS, SKIPS, Trees, json_text, mutated, pick_from


@atheris.instrument_func
def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    pick = lambda n: fdp.ConsumeIntInRange(0, n - 1)  # noqa: E731 - 0 once the bytes run out
    mode, cycles, odd = pick(3), pick(2) == 1, pick(4) != 0
    if mode == 0:
        tree = Trees(pick, cycles=cycles, odd=odd).value()
        check_to_json(tree, pick(2) == 1)
        check_copy(tree)
        if not cycles:
            check_equal(tree, mutated(pick, tree))
        elif not odd:  # no leaf that differs in a copy, so == meets the cycle
            check_equal(tree, copy.deepcopy(tree))
    elif mode == 1:
        tree = Trees(pick, cycles=cycles, odd=odd).tree()
        check_walk(tree)
        check_text(tree, pick_from(pick, SKIPS))
        check_elements(tree, pick_from(pick, FILTERS))
        check_to_markup(tree)
        check_copy(tree)
    else:
        check_from_json(json_text(pick, broken=odd))


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
