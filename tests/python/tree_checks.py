"""Each quillet_tree helper against an independent answer, as assertions
shared by test_tree_differential.py, test_text_visible.py and
fuzz/tree_atheris.py: json.dumps and json.loads, copy.deepcopy, ==, and an
obvious walk and an obvious reading of visible text written here.

What a node tree means: a list of nodes (depth 0), one node (itself at depth
0, then its children), or None. A dict is an element; its "children" list
follows it one level deeper, and an element without "children" has none.
Children that are not a list are a TypeError, a list met again while it is
being walked is a cycle (ValueError); a list reached twice elsewhere is not.
"""
import copy
import html
import json
import operator
import re

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


HIDDEN = ("script", "style", "template")
ASCII_SPACE = re.compile(r"([ \t\n\f\r]+)")


def _markup_end(run, i, opened):
    """For run[i:], in a run's text: ("comment", end) for a comment, end
    past its "-->" or None when it never ends; ("cdata", i + 9) for
    "<![CDATA["; ("skip", end) for a declaration, processing instruction or
    tag that a '>' of the run ends, end past that '>', with `opened` a list
    given the name of a script, style or template start tag; None for text."""
    rest = run[i:]
    if rest.startswith("<!--"):
        end = run.find("-->", i + 2)
        return "comment", None if end < 0 else end + 3
    if rest.startswith("<![CDATA["):
        return "cdata", i + 9
    gt = run.find(">", i)
    if gt < 0:
        return None
    if rest.startswith(("<!", "<?")):
        return "skip", gt + 1
    tag = re.match(r"<(/?)([A-Za-z][^\t\n\f\r />]*)", rest)
    if not tag:
        return None
    name = tag.group(2).lower()
    if name in HIDDEN and not tag.group(1) and run[gt - 1] != "/":
        opened.append(name)
    return "skip", gt + 1


def ref_visible_pieces(runs):
    """(piece, decode) for each piece of visible text of `runs`, by the rule
    of docs/tree.md read literally: every position of a run's text is tried
    for markup in turn, and each search runs to the end of the run."""
    pieces, state = [], "text"
    for run in runs:
        i = start = 0
        while i < len(run):
            if state == "comment":
                end = run.find("-->", i)
                i = start = len(run) if end < 0 else end + 3
                state = "comment" if end < 0 else "text"
                continue
            if state == "cdata":
                end = run.find("]]>", i)
                pieces.append((run[i:] if end < 0 else run[i:end], False))
                i = start = len(run) if end < 0 else end + 3
                state = "cdata" if end < 0 else "text"
                continue
            opened = []
            found = _markup_end(run, i, opened)
            if found is None:
                i += 1
                continue
            pieces.append((run[start:i], True))
            kind, end = found
            if kind == "comment" and end is None:
                state, i = "comment", len(run)
            elif kind == "cdata":
                state, i = "cdata", end
            else:
                i = end
            if opened:
                # The end tag, first of the run from here: without one, the
                # rest of the run goes too.
                closing = re.compile(rf"</{opened[0]}(?:[\t\n\f\r /][^>]*)?>", re.IGNORECASE)
                end_tag = closing.search(run, i)
                i = end_tag.end() if end_tag else len(run)
            start = i
        if state == "text":
            pieces.append((run[start:], True))
    return [(piece, decode) for piece, decode in pieces if piece]


def ref_visible_text(tree, sep=" ", skip=()):
    """text(tree, sep, visible=True, skip=skip), the obvious way: the words
    of every piece with the gaps between them, then joined word by word."""
    runs = [node for _, node in ref_walk(tree, tuple(skip) + HIDDEN) if isinstance(node, str)]
    words, gap = [], False  # (word, its piece, whether whitespace lay before it)
    for number, (piece, decode) in enumerate(ref_visible_pieces(runs)):
        for part in ASCII_SPACE.split(html.unescape(piece) if decode else piece):
            if part and ASCII_SPACE.fullmatch(part):
                gap = True
            elif part:
                words.append((part, number, gap))
                gap = False
    out = []
    for k, (word, number, gap) in enumerate(words):
        if k:
            out.append(" " if number == words[k - 1][1] else sep or (" " if gap else ""))
        out.append(word)
    return "".join(out)


def check_visible_text(tree, sep, skip=()):
    agree(outcome(qt.text, tree, sep, visible=True, skip=skip),
          outcome(ref_visible_text, tree, sep, skip), f"text, sep={sep!r}, skip={skip}, visible")


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


def _reports_unterminated_after_escape():
    try:
        json.loads('"\\ud800')
    except json.JSONDecodeError as e:
        return e.msg.startswith("Unterminated")
    return False


# json.loads of the newest CPython releases (3.13.15 does) reports a text that
# ends inside a string, right after a \u escape, as an unterminated string;
# earlier ones, and from_json with them, as an invalid escape.
UNTERMINATED_AFTER_ESCAPE = _reports_unterminated_after_escape()


def check_from_json(text):
    def read(loads):
        try:
            return canonical(loads(text))
        except json.JSONDecodeError as e:
            return "JSONDecodeError", e.msg, e.pos
    got, want = read(qt.from_json), read(json.loads)
    if (UNTERMINATED_AFTER_ESCAPE and want[:2] == ("JSONDecodeError", "Unterminated string starting at")
            and got[:2] == ("JSONDecodeError", "Invalid \\uXXXX escape")):
        want = got
    agree(got, want, f"from_json({text!r})")


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
