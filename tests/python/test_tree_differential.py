"""quillet_tree's helpers against independent answers (tree_checks.py) on
generated trees (tree_gen.py). Trees that hold themselves are handed to the
helpers in a forked child with a deadline, so a helper that loops forever
fails its test instead of stopping the run; the memory cap keeps one that
grows without end from exhausting the machine."""
import copy
import json
import os
import pickle
import select
import signal
import traceback

import pytest
from hypothesis import HealthCheck, Phase, example, given, settings
from hypothesis import strategies as st

import quillet_tree as qt
from tree_checks import (check_copy, check_elements, check_equal, check_from_json, check_to_json,
                         check_text, check_to_markup, check_visible_text, check_walk, outcome)
from tree_gen import FILTERS, NUMBER_EDGES, NUMBER_PLACES, SKIPS, D, L, S, json_texts, pairs, trees, values

pytestmark = pytest.mark.memory_cap

generated = settings(max_examples=250, deadline=None, suppress_health_check=[HealthCheck.too_slow])

@generated
@given(values(), st.booleans())
def test_to_json_is_json_dumps(tree, ascii):
    check_to_json(tree, ascii)


@pytest.mark.parametrize("broken", [False, True], ids=["json", "broken"])
@generated
@given(st.data())
def test_from_json_is_json_loads(broken, data):
    check_from_json(data.draw(json_texts(broken)))


@pytest.mark.parametrize("place", NUMBER_PLACES)
@pytest.mark.parametrize("number", NUMBER_EDGES)
def test_from_json_reads_edge_numbers_as_json_loads(number, place):
    # The value, or the same error at the same place.
    check_from_json(place.format(number))


@generated
@given(values())
def test_copy_is_deepcopy(tree):
    check_copy(tree)


def test_copy_keeps_what_a_dict_of_copied_keys_drops():
    # A dict whose keys deepcopy copies is filled again from the start; the
    # copy of `shared` made before that must still be the one met after it.
    shared = [[1]]
    check_copy([{"a": shared, S("k"): 1}, shared])
    check_copy([shared, {"a": shared, S("k"): shared}, (shared,)])


@generated
@given(pairs())
@example(pair=(["aa", {"k": "\xe9"}], ["\u6161\u0100", {"k": "\U000100e9"}]))  # first bytes alike
def test_equal_is_eq(pair):
    check_equal(*pair)


@generated
@given(trees())
def test_walk(tree):
    check_walk(tree)
    check_to_markup(tree)


@generated
@given(trees(), st.sampled_from(SKIPS))
def test_text(tree, skip):
    check_text(tree, skip)
    check_visible_text(tree, " ", skip)


@pytest.mark.parametrize("filters", FILTERS, ids=repr)
@settings(generated, max_examples=40)
@given(trees())
@example(tree=[{"tag": "p", "id": "b", "classes": "a b", "style": "", "is_self_closing": False,
                "children": [{"tag": "a", "id": "", "classes": ["ab"], "style": "", "children": []}]}])
def test_elements_filter(filters, tree):
    check_elements(tree, filters)


def in_child(fn, seconds=2.0):
    """fn() run in a forked child: what it returns (it must pickle), or the
    test fails when the child raises, crashes or gives no answer in time."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child
        os.close(read)
        try:
            reply = "ok", fn()
        except BaseException:  # noqa: BLE001 - reported to the parent
            reply = "failed", traceback.format_exc()
        with os.fdopen(write, "wb") as f:
            pickle.dump(reply, f)
        os._exit(0)
    os.close(write)
    with os.fdopen(read, "rb") as f:
        if not select.select([f], [], [], seconds)[0]:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            pytest.fail(f"no answer in {seconds} s: a helper does not stop")
        data = f.read()
    status = os.waitpid(pid, 0)[1]
    if not data:
        pytest.fail(f"the child died, wait status {status}")
    kind, value = pickle.loads(data)
    if kind == "failed":
        pytest.fail(value)
    return value


def holds_itself():
    e = {"tag": "a", "children": ["x"]}
    e["children"].append(e)
    return e


def two_steps():
    a, b = {"tag": "a", "children": []}, {"tag": "b", "children": []}
    a["children"].append(b)
    b["children"].append(a)
    return ["t", {"tag": "p", "children": ["u", a]}]


def back_to_the_top():
    top = ["x"]
    top.append({"tag": "a", "children": ["y", {"tag": "b", "children": top}]})
    return top


NODE_CYCLES = {"element in its children": lambda: [holds_itself()], "one element": holds_itself,
               "two steps down": two_steps, "back to the top": back_to_the_top}


def through(make_container, put):
    def make():
        c = make_container()
        put(c)
        return ["a", c]
    return make


VALUE_CYCLES = {
    "list": through(list, lambda c: c.append(c)),
    "dict": through(dict, lambda c: c.__setitem__("k", [c])),
    "tuple": through(list, lambda c: c.append((1, c))),
    "list subclass": through(L, lambda c: c.append([c])),
    "dict subclass": through(D, lambda c: c.__setitem__("k", c)),
}

HELPERS = {
    "equal": lambda make: qt.equal(make(), make()),
    "to_json": lambda make: qt.to_json(make()),
    "to_markup": lambda make: qt.to_markup(make()),
    "text": lambda make: qt.text(make()),
    "walk": lambda make: list(qt.walk(make())),
    "elements": lambda make: list(qt.elements(make())),
}


@pytest.mark.parametrize("helper, shape", [(h, s) for h in HELPERS for s in NODE_CYCLES]
                         + [(h, s) for h in ("equal", "to_json") for s in VALUE_CYCLES])
def test_cycles_are_value_errors(helper, shape):
    make = {**NODE_CYCLES, **VALUE_CYCLES}[shape]
    assert in_child(lambda: outcome(HELPERS[helper], make)) == ("raised", ValueError)


@pytest.mark.parametrize("shape", [*NODE_CYCLES, *VALUE_CYCLES])
def test_copy_keeps_cycles(shape):
    in_child(lambda: check_copy({**NODE_CYCLES, **VALUE_CYCLES}[shape]()))


def test_shared_is_not_a_cycle():
    shared = {"tag": "a", "children": ["x"]}
    tree = [shared, {"tag": "b", "children": [shared, shared]}]
    assert in_child(lambda: (qt.text(tree), len(list(qt.walk(tree))), qt.equal(tree, copy.deepcopy(tree)),
                             qt.to_json(tree) == json.dumps(tree))) == ("xxx", 7, True, True)


# Generated trees that may hold themselves. No shrinking: each failing
# example may cost a whole deadline.
CYCLIC = {
    "copy": (values(cycles=True), check_copy),
    "to_json": (values(cycles=True), lambda t: check_to_json(t, True)),
    "equal": (values(cycles=True, odd=False), lambda t: check_equal(t, copy.deepcopy(t))),
    "walk": (trees(cycles=True), check_walk),
    "text": (trees(cycles=True), lambda t: check_text(t, ("script",))),
    "visible_text": (trees(cycles=True), lambda t: check_visible_text(t, "", ("a",))),
    "elements": (trees(cycles=True), lambda t: check_elements(t, {"tag": "a"})),
    "to_markup": (trees(cycles=True), check_to_markup),
}


@pytest.mark.parametrize("check", CYCLIC)
@settings(max_examples=25, deadline=None, phases=[Phase.explicit, Phase.generate])
@given(st.data())
def test_generated_cycles(check, data):
    strategy, run = CYCLIC[check]
    tree = data.draw(strategy)
    in_child(lambda: run(tree))
