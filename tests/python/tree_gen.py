"""Random trees for the quillet_tree tests and fuzz/tree_atheris.py.

Everything is drawn from one source of choices, `pick(n)`, an int in
[0, n): hypothesis draws those ints (and shrinks them), atheris reads them
from its bytes. `Trees(pick).value()` makes any object the helpers may meet
(JSON values, tuples, subclasses, odd leaves, shared containers and, with
cycles=True, containers that hold themselves); `Trees(pick).tree()` makes a
tree of nodes (text runs and elements, some of them odd) as walk, text and
elements take it.
"""
import copy
import json
import math
import sys

from hypothesis import strategies as st


class Named:
    """A subclass that shows itself in failure reports."""

    def __repr__(self):
        return f"{type(self).__name__}({super().__repr__()})"


class S(Named, str):
    pass


class L(Named, list):
    pass


class D(Named, dict):
    pass


KEYS = ("tag", "id", "classes", "style", "is_self_closing", "children")
WORDS = ["", "a", "b", "aa", "ab", "a b", "p", "script", "x-1", "\xe9", "\u6161", "\U0001F600"]
# One of each storage width, the last of each width, and the surrogates at
# the ends of their ranges with their neighbours.
CHARS = ["a", "b", " ", "\x00", '"', "\\", "/", "\x7f", "\xe9", "\xff", "\u0100", "\u2028", "\u6161",
         "\ufeff", "\uffff", "\U00010000", "\U0001F600", "\U0010FFFF", "\ud7ff", "\ud800", "\udbff",
         "\udc00", "\udfff", "\ue000"]
NUMBERS = [0, 1, -1, 7, 2**63, -2**70, 0.0, -0.0, 1.5, 1e300, 5e-324, math.inf, -math.inf, math.nan]
LEAVES = [None, True, False, b"x", object]  # object: a new plain object each time
# Escapes at the bounds of the surrogate ranges, lone and paired, and pieces
# that make a JSON text wrong.
ESCAPES = ["\\ud800\\udc00", "\\udbff\\udfff", "\\ud800\\udbff", "\\udbff\\ue000", "\\ud7ff\\udc00",
           "\\ud800", "\\udfff", "\\udc00\\ud800", "\\ud800\\u0041", "\\uDBFF\\uDFFF", "\\u00e9",
           "\\ufeff", "\\u0000", "\\/\\b\\f\\n\\r\\t\\\\\\\""]
# Numbers at the edges of the grammar: exponents cut short after the 'e' or
# its sign, exponents with a sign, a point with no digit after it. Alone, at
# the end of a text, each tests the reader's bounds.
NUMBER_EDGES = ["1e", "1E", "1e+", "1E-", "-2e", "0e-", "1e5", "1E-5", "1e+5", "-0.5E+07", "1.", "1.e5", "1.5e"]
# Wrappers that put a number at the end of the text, before a bracket, a
# comma or a space.
NUMBER_PLACES = ["{}", "[{}]", "[{},2]", "{} ", '{{"k":{}}}']
BREAKERS = ["\\ud800\\", "\\ud800\\u12", "\\x", "\ufeff", '"', ",", "]", "}", "1e400", "-0", "NaN",
            "-Infinity", "tru", "0.5e-3", "01", "\x1f"] + NUMBER_EDGES
# Tags text() leaves out.
SKIPS = [(), ("script",), ("a", "p")]
# Keyword arguments of elements(): tags, id, classes (a str "classes" must
# not match by substring), attributes.
# Depths of container chains: about where the helpers stop counting the
# containers on their path and start tracking them one by one. The
# independent answers (copy.deepcopy, ==, json.dumps) recurse: a few frames
# a level, well inside the stack of any supported Python.
DEEP = (254, 255, 256, 257, 258, 300)
sys.setrecursionlimit(max(sys.getrecursionlimit(), 2500))
FILTERS = [{}, {"tag": "a"}, {"tag": ("a", "p")}, {"tag": {"script", ""}}, {"id": "b"}, {"cls": "a"},
           {"cls": "ab"}, {"href": True}, {"data-k": "1"}, {"tag": "p", "cls": "b", "title": "x"}]


def twin(s):
    """A str of the same length stored one width wider, whose first
    len(s) * width(s) bytes are those of s; None when no such str exists."""
    if not s:
        return None
    width = 1 if max(s) < "\u0100" else 2 if max(s) < "\U00010000" else 4
    if width == 4:
        return None
    raw = s.encode("latin-1" if width == 1 else "utf-16-le", "surrogatepass")
    raw += b"\x01\x00"[:width] * ((-len(raw) // width) % 2)  # whole wider units, none below the width
    wide = [int.from_bytes(raw[i:i + 2 * width], "little") for i in range(0, len(raw), 2 * width)]
    if max(wide) > 0x10FFFF:
        return None
    filler = "\u0100" if width == 1 else "\U00010000"
    return "".join(map(chr, wide)) + filler * (len(s) - len(wide))


class Trees:
    def __init__(self, pick, *, cycles=False, odd=True, budget=24):
        self.pick, self.cycles, self.odd, self.budget = pick, cycles, odd, budget
        self.done = []  # finished containers: reusing one shares it
        self.open = []  # containers being filled: reusing one makes a cycle

    def choice(self, seq):
        return pick_from(self.pick, seq)

    def shared(self, kinds):
        pool = [c for c in self.done + (self.open if self.cycles else []) if isinstance(c, kinds)]
        return self.choice(pool) if pool else None

    def text(self):
        k = self.pick(5)
        if k == 0:
            return self.choice(WORDS)
        s = "".join(self.choice(CHARS) for _ in range(self.pick(5)))
        if k == 1:
            return twin(s) or s
        return S(s) if k == 2 and self.odd else s

    def leaf(self):
        k = self.pick(4)
        if k == 0:
            return self.text()
        if k == 1 and self.odd:
            leaf = self.choice(LEAVES)
            return object() if leaf is object else leaf
        return self.choice(NUMBERS)

    def filled(self, container, fill):
        self.open.append(container)
        fill(container)
        self.open.pop()
        self.done.append(container)
        return container

    def chain(self, bottom, wrap):
        """`bottom` at the foot of a chain of DEEP containers, each made by
        `wrap(inner)`, which returns the new container and the list or dict
        in it that holds `inner`. A container near the foot is put again
        beside itself and higher up, so the walk meets it just after it has
        left it, on either side of the depth where tracking starts; with
        cycles, the foot may also hold a container from higher up."""
        depth = self.choice(DEEP)
        levels = []  # levels[i]: (container, holder) i + 1 wraps above the bottom
        for _ in range(depth):
            levels.append(wrap(levels[-1][0] if levels else bottom))
        at = self.pick(3)
        again = levels[at][0]
        for holder in (levels[at + 1][1], levels[at + 2 + self.pick(depth - at - 2)][1]):
            holder.append(again) if isinstance(holder, list) else holder.setdefault("again", again)
        if self.cycles and self.pick(2):
            foot, up = levels[0][1], levels[self.pick(depth)][0]
            foot.append(up) if isinstance(foot, list) else foot.setdefault("up", up)
        self.done.append(again)
        return levels[-1][0]

    def value(self):
        """Any object: containers of every kind, leaves, shared containers."""
        self.budget -= 1
        k = self.pick(9) if self.budget > 0 else 8
        if k == 7 and self.pick(4) == 0:
            kinds = [self.choice(("list", "dict", "tuple")) for _ in range(2)]
            step = iter(range(1 << 30))

            def wrap(inner):
                kind = kinds[next(step) % 2]
                box = {"k": inner} if kind == "dict" else [inner]
                return ((box,) if kind == "tuple" else box), box
            return self.chain(self.leaf(), wrap)
        if k == 0:
            again = self.shared((list, dict, tuple))
            if again is not None:
                return again
        if k in (1, 2):
            kind = L if k == 2 and self.odd else list
            return self.filled(kind(), lambda c: c.extend(self.value() for _ in range(self.pick(4))))
        if k in (3, 4):
            kind = D if k == 4 and self.odd else dict
            return self.filled(kind(), lambda c: c.update((self.key(), self.value()) for _ in range(self.pick(4))))
        if k == 5:
            return self.element(self.value)
        if k == 6:
            t = tuple(self.value() for _ in range(self.pick(3)))
            self.done.append(t)
            return t
        return self.leaf()

    def key(self):
        if self.odd and self.pick(6) == 0:
            return self.choice([1, 2.5, None, True, S("k")])
        return self.choice(KEYS + ("k", "\xe9", "\U0001F600"))

    def element(self, child):
        """A dict with the fixed keys in their order (some left out when odd),
        an attribute or two, then "children" (a str when odd)."""
        def fill(e):
            for key in KEYS[:5]:
                if self.odd and self.pick(5) == 0:
                    continue
                if key == "classes":
                    e[key] = self.choice(["a b", "ab"]) if self.odd and self.pick(4) == 0 else \
                        [self.choice(["a", "b", "ab", ""]) for _ in range(self.pick(3))]
                elif key == "is_self_closing":
                    e[key] = self.pick(2) == 1
                else:
                    e[key] = self.choice(["a", "b", "p", "script", ""])
            for _ in range(self.pick(3)):
                e[self.choice(["href", "data-k", "title"])] = self.choice(["1", "x", ""])
            k = self.pick(8) if self.odd else 1
            if k == 0:
                return  # no children
            if k == 1 and self.cycles and self.open:
                again = self.shared(list)
                if again is not None:
                    e["children"] = again
                    return
            if k == 2:
                e["children"] = self.choice(["xy", ""])
                return
            e["children"] = self.filled([], lambda c: c.extend(child() for _ in range(self.pick(4))))
        return self.filled({}, fill)

    def node(self):
        self.budget -= 1
        k = self.pick(5) if self.budget > 0 else 0
        if k == 0:
            return self.text()
        if k == 4 and self.pick(6) == 0:
            def wrap(inner):
                e = {"tag": "a", "children": [inner, "t"]}
                return e, e["children"]
            return self.chain(self.text(), wrap)
        if k == 1:
            again = self.shared(dict)
            if again is not None:
                return again
        return self.element(self.node)

    def tree(self):
        """A list of nodes, mostly; sometimes one node, or None."""
        k = self.pick(8)
        if k == 0:
            return None
        if k == 1:
            return self.node()
        return self.filled([], lambda c: c.extend(self.node() for _ in range(self.pick(5))))


def json_text(pick, broken):
    """A text json.dumps wrote, or a str spelled with escapes; when broken,
    with a piece put in anywhere and maybe cut short."""
    if pick(2):
        text = json.dumps(Trees(pick, odd=False).value(), ensure_ascii=pick(2) == 1)
    else:
        pieces = ESCAPES + [c for c in CHARS if c not in '"\\\x00']
        text = '["' + "".join(pick_from(pick, pieces) for _ in range(pick(7))) + '"]'
    if broken:
        at = pick(len(text) + 1)
        text = text[:at] + pick_from(pick, ESCAPES + BREAKERS) + text[at:]
        text = text[:len(text) - pick(3)]
    return text


def hypothesis_picks(draw):
    return lambda n: draw(st.integers(0, n - 1))


@st.composite
def values(draw, **options):
    return Trees(hypothesis_picks(draw), **options).value()


@st.composite
def trees(draw, **options):
    return Trees(hypothesis_picks(draw), **options).tree()


def containers(tree):
    """Every list, dict and tuple in tree, each once, outermost first."""
    found, todo, seen = [], [tree], set()
    while todo:
        x = todo.pop()
        if isinstance(x, (list, dict, tuple)) and id(x) not in seen:
            seen.add(id(x))
            found.append(x)
            todo.extend(reversed([*x.keys(), *x.values()] if isinstance(x, dict) else x))
    return found


def variants(x):
    """Leaves that may or may not equal x: other storage, other types."""
    out = [None, 0, "a", math.nan, S("a")]
    if isinstance(x, str):
        out += [S(x), "".join(list(x)), x + "\0", twin(x) or x]
    if isinstance(x, (int, float)) and math.isfinite(x):
        out += [float(x), int(x), bool(x), -x]
    return out


def mutated(pick, tree):
    """A copy of tree with new containers and the same leaves, changed in one
    place: a leaf replaced, keys reordered, an item added or dropped, or
    every str replaced by its storage-width twin."""
    op = pick(6)
    leaves = [x for c in containers(tree) for x in ([*c, *c.values()] if isinstance(c, dict) else c)
              if not isinstance(x, (list, dict, tuple))]
    # op 5: every str in a wider storage, each keeping its first bytes
    swap = (lambda x: twin(x) or x if type(x) is str else x) if op == 5 else (lambda x: x)
    twin_tree = copy.deepcopy(tree, {id(x): swap(x) for x in leaves})
    targets = [c for c in containers(twin_tree) if isinstance(c, (list, dict))]
    if not targets:
        return pick_from(pick, variants(twin_tree))
    c = pick_from(pick, targets)
    keys = list(c) if isinstance(c, dict) else list(range(len(c)))
    if op == 0:
        items = list(c.items()) if isinstance(c, dict) else list(c)
        c.clear()
        c.update(reversed(items)) if isinstance(c, dict) else c.extend(reversed(items))
    elif op == 1:
        c.__setitem__("extra", None) if isinstance(c, dict) else c.append(None)
    elif keys and op < 5:
        key = pick_from(pick, keys)
        if op == 2:
            del c[key]
        else:
            c[key] = pick_from(pick, variants(c[key]))
    return twin_tree


def pick_from(pick, seq):
    return seq[pick(len(seq))]


def pair(pick):
    """(a tree, the tree changed in one place): equal or not by a hair."""
    tree = Trees(pick).value()
    return tree, mutated(pick, tree)


@st.composite
def pairs(draw):
    return pair(hypothesis_picks(draw))


@st.composite
def json_texts(draw, broken):
    return json_text(hypothesis_picks(draw), broken)
