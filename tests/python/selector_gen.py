"""Random element trees and selectors for test_select_differential.py and
fuzz/select_atheris.py, drawn from one source of choices `pick(n)` (an int in
[0, n)), as tree_gen.py does; and the comparison of quillet_tree's selector
functions with selector_oracle.

Trees are small and use few tags, classes and attribute values, so that
selectors hit; selectors come from a grammar that reaches every feature,
then are sometimes cut or given a stray character, so that invalid ones
come too.
"""
import quillet_tree as qt
from selector_oracle import OracleInvalid, oracle_drop, oracle_select
from tree_gen import hypothesis_picks, pick_from

from hypothesis import strategies as st

TAGS = ["p", "a", "div", "input", "option", "optgroup", "fieldset", "legend", "link", "P"]
CLASSES = ["a", "b", "a-b", "", "A"]
VALUES = ["", "a", "b", "a b", "en", "en-US", "de-Latn-DE", "fr-CH", "checkbox", "Radio", "A", "x-1"]
ATTRS = ["href", "lang", "type", "disabled", "checked", "selected", "title", "data-k"]
ANB = ["odd", "EVEN", "3", "0", "-1", "n", "-n+3", "+n", "2n+1", "2n + 1", "-2n+ 4", "n- 1",
       " 3n -1 ", "0n+0", "-n-1", "N", "+5", "99999999999999999999999n+1", "-0n+2",
       "18446744073709551617", "2n-18446744073709551616", "1e1", "+ n", "n+-1", "3.0"]
PSEUDOS = ["root", "scope", "empty", "link", "any-link", "visited", "disabled", "enabled", "checked",
           "first-child", "last-child", "only-child", "first-of-type", "last-of-type", "only-of-type"]
NTHS = ["nth-child", "nth-last-child", "nth-of-type", "nth-last-of-type"]
LOGICAL = ["not", "is", "where", "has"]
LANGS = ["en", "de-DE", '"*-CH"', "fr", "EN-us", '"*"', '""', "\\*-CH", "*"]
ATTR_NAMES = ATTRS + ["class", "id", "style", "tag", "classes", "children", "*|title", "|lang"]
OPS = ["=", "~=", "|=", "^=", "$=", "*="]
FLAGS = ["", "", " i", " s", " I", "i"]
RUNS = ["t", " ", "", "<!--c-->", "<!---->", "<!--a--><!--b-->", " <!--c-->", "<!--c", "<!-->", "<!--a-->x"]


def escapes(c):
    """Ways to write the character c as a CSS escape, some at the six-digit
    limit of a hex escape (one digit more is a character of its own)."""
    h = format(ord(c), "x")
    out = ["\\" + h + " ", "\\" + h.upper() + "\t", "\\" + h + "\n", "\\" + h + "\r\n", "\\" + h + "\r",
           "\\" + h + "\f", "\\" + h.zfill(6),
           "\\" + h.zfill(6) + " ", "\\" + h.zfill(7), "\\0 ", "\\110000 ", "\\D800 "]
    if c not in "0123456789abcdefABCDEF\n":
        out.append("\\" + c)
    return out


def recased(pick, s):
    """s in one of its letter cases: keywords are case-insensitive."""
    return pick_from(pick, [s, s.upper(), s.lower(), s.title(), s.swapcase()])


class Gen:
    def __init__(self, pick, budget=30):
        self.pick, self.budget, self.made = pick, budget, []

    def choice(self, seq):
        return pick_from(self.pick, seq)

    # ---- trees
    def element(self, depth):
        self.budget -= 1
        e = {"tag": self.choice(TAGS), "id": self.choice(["", "x", "y"]),
             "classes": [self.choice(CLASSES) for _ in range(1 + self.pick(3))] if self.pick(5) else "a",
             "style": self.choice(["", "a"]), "is_self_closing": False}
        for _ in range(self.pick(4)):
            e[self.choice(ATTRS)] = self.choice(VALUES)
        if self.pick(6) == 0:  # an element made by hand, without one of its own keys
            del e[self.choice(["id", "classes", "style"])]
        e["children"] = self.nodes(depth + 1)
        self.made.append(e)
        return e

    def nodes(self, depth):
        out = []
        for _ in range(self.pick(5) if depth < 4 and self.budget > 0 else 0):
            k = self.pick(8)
            if k < 2:
                out.append(self.choice(RUNS))
            elif k == 2 and self.made and self.pick(3) == 0:
                out.append(self.choice(self.made))  # shared
            else:
                out.append(self.element(depth))
        return out

    def tree(self):
        k = self.pick(10)
        if k == 0:
            return self.element(0)
        if k == 1:
            return self.choice([None, "t"])
        return self.nodes(0)

    # ---- selectors
    def ws(self):
        return self.choice(["", "", "", " ", "\t", "\n ", "/**/", " /* c */ "])

    def name(self, words):
        w = self.choice(words)
        if w and self.pick(8) == 0:  # the first letter as an escape
            return self.choice(escapes(w[0])) + w[1:]
        return w

    def string(self, text):
        q = self.choice(["\"", "'"])
        # A backslash before a line break continues the string: it stands for nothing.
        cut = self.choice(["", "", "\\\n", "\\\r\n", "\\\r", "\\\f"])
        return q + cut + text.replace("\\", "\\\\").replace(q, "\\" + q) + q

    def value(self):
        v = self.choice(VALUES)
        if v and all(c.isalnum() or c == "-" for c in v) and not v[0].isdigit() and self.pick(2):
            return v
        return self.string(v)

    def anb(self):
        return recased(self.pick, self.choice(ANB))

    def simple(self, depth):
        k = self.pick(9)
        if k == 0:
            return "#" + self.name(["x", "y"])
        if k == 1:
            return "." + self.name(["a", "b", "a-b", "A"])
        if k == 2:
            return self.attribute()
        if k == 3:
            return ":" + recased(self.pick, self.choice(PSEUDOS))
        if k == 4:
            name = self.choice(NTHS)
            of = " of " + self.selector_list(depth + 1) if "child" in name and self.pick(3) == 0 else ""
            return f":{name}({self.ws()}{self.anb()}{of}{self.ws()})"
        if k == 5 and depth < 4:
            name = recased(self.pick, self.choice(LOGICAL))
            inner = self.selector_list(depth + 1, relative=name.lower() == "has")
            return f":{name}({self.ws()}{inner}{self.ws()})"
        if k == 6:
            ranges = [self.choice(LANGS) for _ in range(1 + self.pick(2))]
            return ":lang(" + ", ".join(ranges) + ")"
        if k == 7 and self.pick(4) == 0:
            return ":" + self.choice(["hover", "target", "example", "first-line"])
        return "." + self.choice(CLASSES[:3])

    def attribute(self):
        name = self.choice(ATTR_NAMES)
        if self.pick(3) == 0:
            return f"[{self.ws()}{name}{self.ws()}]"
        op = self.choice(OPS)
        flag = self.choice(FLAGS)
        return f"[{self.ws()}{name}{self.ws()}{op}{self.ws()}{self.value()}{flag}{self.ws()}]"

    def compound(self, depth):
        head = self.choice(["", "", "*", "*|*", "|p"] + TAGS[:4])
        return head + "".join(self.simple(depth) for _ in range(self.pick(3))) or "*"

    def complex(self, depth, relative=False):
        parts = []
        if relative and self.pick(2):
            parts.append(self.choice([">", "+", "~"]) + self.ws())
        parts.append(self.compound(depth))
        for _ in range(self.pick(3)):
            comb = self.choice([" ", ">", "+", "~"])
            parts.append((self.ws() + comb + self.ws()) if comb != " " else self.choice([" ", "\t", " /**/ "]))
            parts.append(self.compound(depth))
        if depth == 0 and self.pick(10) == 0:
            parts.append(self.choice(["::before", ":after", "::slotted(p)", "::slotted(.a:not(p))",
                                      "::slotted(p b)", "::part(a b)", "::part(.a)", "::example"]))
        return "".join(parts)

    def selector_list(self, depth=0, relative=False):
        return (self.ws() + "," + self.ws()).join(self.complex(depth, relative) for _ in range(1 + self.pick(2)))

    def selector(self):
        s = self.selector_list()
        for _ in range(self.pick(3) if self.pick(4) == 0 else 0):
            at = self.pick(len(s) + 1)
            if self.pick(2):
                s = s[:at] + s[at + 1 + self.pick(3):]
            else:
                s = s[:at] + self.choice(list("()[]:,.#>+~*|\\\"'= \n") + ["of", "::", "||"]) + s[at:]
        return s


def sweep():
    """Selectors that between them take every choice of the grammar above at
    least once, each in every letter case a keyword may have, and each put
    in three of a few places, in turn: alone, after combinators, inside
    :has() one and two levels down and beside, under :not(), and as the S of
    :nth-child(An+B of S). Matched against a few fixed trees, they reach
    what random draws reach rarely."""
    def cases(word):
        return dict.fromkeys([word, word.upper(), word.title(), word.swapcase()])

    simples = [f"#{e}{w[1:]}" for w in ("x", "y") for e in [w[0], *escapes(w[0])]]
    simples += [f".{e}{w[1:]}" for w in CLASSES if w for e in [w[0], *escapes(w[0])]]
    simples += [f"[{n}]" for n in ATTR_NAMES]
    simples += [f"[{n}{op}{v!r}{f}]" for i, n in enumerate(ATTR_NAMES) for j, op in enumerate(OPS)
                for v, f in ((VALUES[(i + j) % len(VALUES)], FLAGS[(i * j) % len(FLAGS)]),)]
    simples += [f"[title{op}{v!r}{f}]" for op in OPS for v in VALUES for f in ("", " i")]
    simples += [f'[title="{v[:1]}\\{nl}{v[1:]}"]' for v in ("a", "a b", "x-1") for nl in ("\n", "\r\n", "\r", "\f")]
    simples += [f":{k}" for name in PSEUDOS for k in cases(name)]
    simples += [f":{name}({k})" for name in NTHS for anb in ANB for k in cases(anb)]
    simples += [f":{k}({anb} of {s})" for k in cases("nth-child") for anb in ("odd", "-n+2", "1")
                for s in (".a", "p, #x", ":not(.b)")]
    simples += [f":lang({r})" for r in LANGS] + [f":lang({a}, {b})" for a, b in zip(LANGS, LANGS[3:])]
    simples += [f":{k}(p, .a)" for name in LOGICAL for k in cases(name)]
    places = ["{}", "div {}", "* > {}", "p + {}", "a ~ {}", "{} > *", ":has({})", ":has(> {})",
              ":has(> * > {})", ":has(* * {})", ":has(+ {})", ":has(~ * {})", ":not({})",
              ":nth-child(odd of {})", ":is(p, {}) a"]
    for i, simple in enumerate(simples):
        for j in range(3):
            place = places[(3 * i + j) % len(places)]
            if "has" in simple.lower() and "has(" in place:
                continue  # :has() inside :has() is no selector
            yield place.format(simple)


@st.composite
def trees(draw):
    return Gen(hypothesis_picks(draw)).tree()


@st.composite
def selectors(draw):
    return Gen(hypothesis_picks(draw)).selector()


def containers(tree, out=None):
    out = set() if out is None else out
    if isinstance(tree, (list, dict)) and id(tree) not in out:
        out.add(id(tree))
        for x in tree.values() if isinstance(tree, dict) else tree:
            containers(x, out)
    return out


def check_selector(tree, selector):
    """quillet_tree's select, select_one, compile and drop agree with the
    oracle: the same elements (by identity, in order), the same validity,
    and drop's tree equal to the oracle's and made of new containers."""
    try:
        want = oracle_select(tree, selector)
    except OracleInvalid:
        want = None
    if want is None:
        for call in (qt.select, qt.select_one, qt.drop):
            try:
                call(tree, selector)
            except qt.SelectorError as e:
                assert e.pattern == selector and 0 <= e.position <= len(selector), (e.pattern, e.position)
            else:
                raise AssertionError(f"{call.__name__}: {selector!r} is not valid")
        return
    ids = [id(e) for e in want]
    got = qt.select(tree, selector)
    assert [id(e) for e in got] == ids, (selector, tree, got, want)
    first = qt.select_one(tree, selector)
    assert first is (want[0] if want else None), (selector, tree, first)
    compiled = qt.compile(selector)
    assert compiled.pattern == selector
    assert [id(e) for e in compiled.select(tree)] == ids
    assert [id(e) for e in qt.select(tree, compiled)] == ids
    dropped = qt.drop(tree, selector)
    assert dropped == oracle_drop(tree, selector), (selector, tree, dropped)
    assert compiled.drop(tree) == dropped
    assert not containers(dropped) & containers(tree), "drop gave back a list or dict of the tree"
