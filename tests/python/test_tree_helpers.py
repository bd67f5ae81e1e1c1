"""quillet_tree: each helper against what it stands in for (==, json.dumps,
json.loads, copy.deepcopy, the parse of its markup), on generated, adversarial
and corpus inputs, and at a depth of a million."""
import copy as stdlib_copy
import json
import math
import pathlib
import pickle
import re

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quillet
import quillet_tree as qt
from markup_inputs import CHARACTERS, PIECES
from test_properties import documents

CORPUS = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "corpus"
CORPUS_FILES = sorted(p for p in CORPUS.glob("*") if p.name != "SOURCES.md")

pieces = st.lists(st.sampled_from(PIECES), max_size=30).map("".join)
characters = st.text(alphabet=CHARACTERS, max_size=60)
# Text in an element whose tag is no name, so that to_markup needs a
# stand-in name "t<n>" that no str of the tree holds: words and empty
# elements named like the candidates (a str ending in the digits of one),
# stray end tags, which stay text.
STAND_IN_WORDS = [f"t{n}" for n in range(12)] + ["<t0/>", "<t1/>", "<t10/>", "<t11/>", "</t1>", "t01", "x", " "]
stand_in_texts = st.lists(st.sampled_from(STAND_IN_WORDS), max_size=16).map(
    lambda words: '<p tag="a b">' + "".join(words) + "</p>")
json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=4), inner, max_size=4),
    max_leaves=20)


def same_order(a, b):
    """Equal, with every dict's keys in the same order."""
    return json.dumps(a) == json.dumps(b)


def round_trips(text):
    tree = quillet.parse(text)
    markup = qt.to_markup(tree)
    assert same_order(quillet.parse(markup), tree), (text, markup)


@pytest.mark.memory_cap
@settings(max_examples=1500, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.one_of(pieces, characters, documents, st.text(max_size=30), stand_in_texts))
def test_markup_round_trips_on_generated_text(text):
    round_trips(text)


@pytest.mark.parametrize("path", CORPUS_FILES, ids=lambda p: p.name)
def test_helpers_on_the_corpus(path):
    tree = quillet.parse(path.read_text(encoding="utf-8"))
    round_trips(path.read_text(encoding="utf-8"))
    for ascii in (True, False):
        assert qt.to_json(tree, ensure_ascii=ascii) == json.dumps(tree, ensure_ascii=ascii)
    assert same_order(qt.from_json(json.dumps(tree)), tree)
    assert same_order(qt.copy(tree), tree) and qt.equal(qt.copy(tree), tree)


@pytest.mark.parametrize(
    "text",
    [
        # brackets in values: id, class and style go where the tag stays whole
        '<a x="<" id=">">t</a>', '<a x="<" class="a >">t</a>', '<a id="<" x=">">t</a>',
        '<a x="<<" style=">" y=">">t</a>',
        # attributes named like the fixed keys
        '<p tag="t" classes="c" is_self_closing="no" children="x">y</p>',
        '<p tag="hello world">x</p>', '<p tag="">x</p>', '<p tag="a b"><q tag="c d">x t0</q></p>',
        # the stand-in name must differ from a tag inside: one ending the str
        # "t0", and the eleventh when "t0" to "t10" are taken
        '<p tag="a b">x<t0/>y</p>', '<p tag="a b">t0 t1 t2 t3 t4 t5 t6 t7 t8 t9<t10/>y</p>',
        '<p is_self_closing="x"/>', '<p classes="a b" class="c">x</p>',
        # whitespace and text next to elements
        "a <b>c</b> d", "< <b>c</b>", "<a <b>c</b>>", "<a><a/></a></a>", '<p>x</p  ><p class="  ">y</p>',
        '<a><b title="</a>">t</b></a>',
    ],
)
def test_markup_round_trips_on_adversarial_text(text):
    round_trips(text)


@pytest.mark.parametrize(
    "tree, error, message",
    [
        # the value named is the one whose '>' ends the tag, not the last one
        ([{"tag": "a", "title": ">", "lang": "x", "children": []}], ValueError, "value '>' ends"),
        ([{"tag": "a", "id": "a>b", "style": "x", "children": []}], ValueError, "value 'a>b' ends"),
        ([{"tag": "a", "title": 'say "hi"', "children": []}], ValueError, "double quote"),
        ([{"tag": "a", "title": '"', "children": []}], ValueError, "double quote"),
        ([{"tag": "a", "id": '"x', "children": []}], ValueError, "double quote"),
        ([{"tag": "a", "title": 'x"', "children": []}], ValueError, "double quote"),
        ([{"tag": "a", "data x": "1", "children": []}], ValueError, "'data x' is no name"),
        ([{"tag": "a", "class": "c", "children": []}], ValueError, "'class' is no name"),
        ([{"tag": "a", "title": 1, "children": []}], TypeError, "'title' is a str, not int"),
        ([{"id": "no tag", "children": []}], ValueError, "without a tag"),
        # the first node that is misread, and what comes back; a repr of 60
        # characters is shown whole, a longer one cut to 60 and "..."
        ([""], ValueError, "^cannot write the text run '' as markup: it does not come back$"),
        (["a" * 58, "b"], ValueError,
         "^" + re.escape(f"cannot write the text run {'a' * 58!r} as markup: it reads back as the text run"
                         f" {repr('a' * 58 + 'b')[:60]}...") + "$"),
        ([{"tag": "a", "children": "x"}], TypeError, None),
        ([1], TypeError, None),
    ],
)
def test_trees_no_markup_gives(tree, error, message):
    with pytest.raises(error, match=message):
        qt.to_markup(tree)


def test_markup_of_hand_made_trees():
    assert qt.to_markup(None) == qt.to_markup([]) == ""
    assert qt.to_markup([{"tag": "br", "is_self_closing": True, "children": []}, "x"]) == "<br/>x"
    assert qt.to_markup({"tag": "p", "classes": ["a", "b"], "children": ["t"]}) == '<p class="a b">t</p>'


@pytest.mark.memory_cap
@settings(max_examples=300, deadline=None)
@given(json_values, st.booleans())
def test_json_matches_the_json_module(value, ascii):
    text = json.dumps(value, ensure_ascii=ascii)
    assert qt.to_json(value, ensure_ascii=ascii) == text
    back = qt.from_json(text)
    assert json.dumps(back) == json.dumps(json.loads(text))  # NaN != NaN, so compare as text


@pytest.mark.parametrize(
    "value",
    [{1: "int key", 2.5: "float", True: "bool", None: "none"}, (1, [2.0, -0.0]),
     [math.inf, -math.inf, math.nan], "\x00\x1f\x7f\u2028\ud800\U0001F600\"\\/", 10**30],
)
def test_json_corner_cases(value):
    for ascii in (True, False):
        assert qt.to_json(value, ensure_ascii=ascii) == json.dumps(value, ensure_ascii=ascii)


@pytest.mark.parametrize(
    "text", ["", "[1,]", "[1, ]", '{"a": 1,}', "[1 2]", '{"a" 1}', "{1: 2}", '"abc', '"\\x"', '"\\u12"', '"a\nb"', "[] x",
             "01", "-", "[", '{"a": 1', "nul"],
)
def test_from_json_rejects_what_json_rejects(text):
    with pytest.raises(json.JSONDecodeError) as expected:
        json.loads(text)
    with pytest.raises(json.JSONDecodeError) as got:
        qt.from_json(text)
    assert got.value.pos == expected.value.pos


@pytest.mark.parametrize(
    "value, error", [([object()], TypeError), ({(1,): 2}, TypeError)],
)
def test_to_json_rejects_what_json_rejects(value, error):
    with pytest.raises(error):
        qt.to_json(value)


def test_cycles_and_shared_containers():
    shared = ["s"]
    tree = [shared, {"k": shared}]
    copied = qt.copy(tree)
    assert copied == tree and copied[0] is copied[1]["k"] and copied[0] is not shared
    cyclic = [1]
    cyclic.append(cyclic)
    again = qt.copy(cyclic)
    assert again[1] is again
    with pytest.raises(ValueError, match="Circular"):
        qt.to_json(cyclic)
    assert qt.to_json(tree) == json.dumps(tree)  # shared is not circular


class Loud:
    """A leaf whose equality and copies are its own."""

    def __init__(self, v):
        self.v = v

    def __eq__(self, other):
        return isinstance(other, Loud) and self.v == other.v


@pytest.mark.parametrize(
    "a, b",
    [
        ([{"a": 1, "b": [2]}], [{"b": [2], "a": 1}]),  # key order does not count
        ([1, [2, [3]]], [1, [2, [4]]]), ([[]], [[], []]), ({"a": []}, {"b": []}),
        ([math.nan], [math.nan]), ([1], [1.0]), ([1], (1,)), ("x", "x"), (math.nan, math.nan),
        ([Loud(1), {"k": Loud(2)}], [Loud(1), {"k": Loud(2)}]), ([Loud(1)], [Loud(2)]),
        ([b"x", None, True], [b"x", None, 1]),
    ],
)
def test_equal_is_what_eq_says(a, b):
    assert qt.equal(a, b) is (a == b)


@pytest.mark.memory_cap
@settings(max_examples=300, deadline=None)
@given(pieces, pieces)
def test_equal_on_generated_trees(x, y):
    a, b = quillet.parse(x), quillet.parse(y)
    assert qt.equal(a, b) is (a == b)
    assert qt.equal(a, qt.copy(a)) and qt.copy(a) == stdlib_copy.deepcopy(a)


PAGE = ('<article class="post"><h1>Hi &amp; <em>bye</em></h1><script>var a;</script>'
        '<p>See <a href="/x" data-k="1">x</a> <a>y</a></p><br/></article>tail')


@pytest.mark.parametrize(
    "args, kwargs, tags",
    [
        ((), {}, ["article", "h1", "em", "script", "p", "a", "a", "br"]),
        (("a",), {}, ["a", "a"]),
        ((("h1", "br"),), {}, ["h1", "br"]),
        ((), {"href": True}, ["a"]),
        ((), {"cls": "post"}, ["article"]),
        ((), {"data-k": "1", "href": "/x"}, ["a"]),
        ((), {"id": "none"}, []),
    ],
)
def test_elements_filters(args, kwargs, tags):
    assert [e["tag"] for e in qt.elements(quillet.parse(PAGE), *args, **kwargs)] == tags


def test_walk_and_text():
    tree = quillet.parse(PAGE)
    walked = [(d, n if isinstance(n, str) else n["tag"]) for d, n in qt.walk(tree)]
    assert walked[:4] == [(0, "article"), (1, "h1"), (2, "Hi &amp;"), (2, "em")]
    assert walked[-1] == (0, "tail")
    assert [d for d, _ in qt.walk(tree[0])][:2] == [0, 1]  # a single element: itself first
    assert qt.text(tree, " ", skip={"script"}) == "Hi &amp; bye See x y tail"
    assert qt.text(tree[0]["children"][0], unescape=True) == "Hi &bye"
    assert qt.text(None) == "" and qt.text("a&lt;", unescape=True) == "a<"


def test_helpers_and_parse_share_the_key_objects():
    keys = qt._native.ELEMENT_KEYS
    for node in (quillet.parse('<a id="i">x</a>')[0], qt.from_json(qt.to_json(quillet.parse("<a/>")))[0]):
        assert all(made is shared for made, shared in zip(node, keys)) and len(node) == len(keys)


DEPTH = 1_000_000


@pytest.mark.slow
def test_a_million_levels():
    tree = quillet.parse('<a id="x">' * DEPTH + "x" + "</a>" * DEPTH)
    copied = qt.copy(tree)
    assert copied is not tree and qt.equal(copied, tree)
    assert qt.equal(qt.from_json(qt.to_json(tree)), tree)
    assert qt.equal(quillet.parse(qt.to_markup(tree)), tree)
    assert qt.equal(pickle.loads(pickle.dumps(qt.picklable(tree))), tree)
    assert qt.text(tree) == "x"
    depths = [d for d, _ in qt.walk(tree)]
    assert len(depths) == DEPTH + 1 and depths[-1] == DEPTH
    assert sum(1 for _ in qt.elements(tree, "a", id="x")) == DEPTH
    copied[0]["children"] = []
    assert not qt.equal(copied, tree)
