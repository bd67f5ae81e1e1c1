"""Each quillet_tree helper against an independent answer, as assertions
shared by test_tree_differential.py and fuzz/tree_atheris.py: json.dumps and
json.loads, copy.deepcopy, ==, and an obvious walk written here.

What a node tree means: a list of nodes (depth 0), one node (itself at depth
0, then its children), or None. A dict is an element; its "children" list
follows it one level deeper, and an element without "children" has none.
Children that are not a list are a TypeError, a list met again while it is
being walked is a cycle (ValueError); a list reached twice elsewhere is not.
"""
import copy
import json
import operator

import quillet_tree as qt


def outcome(fn, *args, **kwargs):
    """("ok", what fn returned) or ("raised", the exception's type). No
    helper may raise SystemError, whatever it is given."""
    try:
        return "ok", fn(*args, **kwargs)
    except Exception as e:  # noqa: BLE001 - the type is the answer
        assert not isinstance(e, SystemError), repr(e)
        return "raised", type(e)


def agree(got, want, what):
    """Asserts got == want, saying so outside pytest too (atheris)."""
    assert got == want, f"{what}: {got!r}, wanted {want!r}"


def ref_walk(tree, skip=()):
    """(depth, node) in document order; the children of elements whose tag
    is in `skip` are left out."""
    out, stack = [], []

    def enter(nodes, depth):
        if not isinstance(nodes, list):
            raise TypeError("children are a list")
        if any(nodes is frame[0] for frame in stack):
            raise ValueError("a list holds itself")
        stack.append((nodes, iter(nodes), depth))

    def children(node, depth):
        if type(node) is dict and "children" in node and node.get("tag") not in skip:
            enter(node["children"], depth)

    if isinstance(tree, list):
        enter(tree, 0)
    elif tree is not None:
        out.append((0, tree))
        children(tree, 1)
    while stack:
        _, items, depth = stack[-1]
        node = next(items, stack)
        if node is stack:
            stack.pop()
        else:
            out.append((depth, node))
            children(node, depth + 1)
    return out


def ref_elements(tree, tag=None, id=None, cls=None, **attributes):
    tags = (tag,) if isinstance(tag, str) else tag

    def match(e):
        classes = e.get("classes")
        return ((tags is None or e.get("tag") in tags) and (id is None or e.get("id") == id)
                and (cls is None or (isinstance(classes, list) and cls in classes))
                and all(isinstance(e.get(k), str) if v is True else e.get(k) == v
                        for k, v in attributes.items()))
    return [node for _, node in ref_walk(tree) if type(node) is dict and match(node)]


def identities(pairs):
    return [(depth, id(node)) for depth, node in pairs]


def check_walk(tree):
    agree(outcome(lambda: identities(qt.walk(tree))), outcome(lambda: identities(ref_walk(tree))), "walk")


def check_text(tree, skip):
    runs = lambda: "".join(n for _, n in ref_walk(tree, skip) if isinstance(n, str))  # noqa: E731
    agree(outcome(qt.text, tree, skip=skip), outcome(runs), f"text, skip={skip}")


def check_elements(tree, filters):
    found = lambda elements: [id(e) for e in elements(tree, **filters)]  # noqa: E731
    agree(outcome(found, qt.elements), outcome(found, ref_elements), f"elements(**{filters})")


def check_to_markup(tree):
    """Only that a cycle is a ValueError: round trips are test_tree_helpers'."""
    made = outcome(qt.to_markup, tree)
    if outcome(ref_walk, tree) == ("raised", ValueError):
        agree(made, ("raised", ValueError), "to_markup of a cycle")


def check_to_json(tree, ascii):
    agree(outcome(qt.to_json, tree, ensure_ascii=ascii), outcome(json.dumps, tree, ensure_ascii=ascii),
          f"to_json, ensure_ascii={ascii}")


def canonical(x):
    """x with its types and key order spelled out, NaN equal to NaN."""
    if isinstance(x, float):
        return "float", repr(x)
    if isinstance(x, list):
        return "list", [canonical(i) for i in x]
    if isinstance(x, dict):
        return "dict", [(canonical(k), canonical(v)) for k, v in x.items()]
    return type(x).__name__, x


def check_from_json(text):
    def read(loads):
        try:
            return canonical(loads(text))
        except json.JSONDecodeError as e:
            return "JSONDecodeError", e.msg, e.pos
    agree(read(qt.from_json), read(json.loads), f"from_json({text!r})")


def check_equal(a, b):
    """equal is ==, where == recursing without end (a cycle) is a ValueError."""
    for x, y in ((a, b), (b, a)):
        want = outcome(operator.eq, x, y)
        want = ("raised", ValueError) if want == ("raised", RecursionError) else ("ok", bool(want[1]))
        agree(outcome(qt.equal, x, y), want, "equal")


def same_leaf(x, y):
    if isinstance(x, float):
        return repr(x) == repr(y)
    return type(x) is object or x == y


def check_copy(tree):
    """copy(tree) has the shape of copy.deepcopy(tree): the same types and
    leaves, an object reached twice in one exactly where it is in the
    other, and new objects in the same places."""
    made, want = qt.copy(tree), copy.deepcopy(tree)
    seen, seen_made = {}, set()  # deepcopy's objects -> copy's
    todo = [(tree, want, made)]
    while todo:
        original, w, m = todo.pop()
        assert type(m) is type(w), (w, m)
        if id(w) in seen:
            assert seen[id(w)] is m, ("shared in deepcopy's, not in copy's", w)
            continue
        assert id(m) not in seen_made, ("shared in copy's, not in deepcopy's", m)
        seen[id(w)] = m
        seen_made.add(id(m))
        assert (m is original) == (w is original), ("new in one copy only", w)
        if isinstance(w, dict):
            parts = [[*x.keys(), *x.values()] for x in (original, w, m)]
        elif isinstance(w, (list, tuple)):
            parts = [list(x) for x in (original, w, m)]
        else:
            assert same_leaf(w, m), (w, m)
            continue
        assert len(parts[1]) == len(parts[2]), (w, m)
        todo.extend(zip(*parts))
