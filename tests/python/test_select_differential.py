"""quillet_tree's selector functions against selector_oracle on generated
trees and selectors (selector_gen.py), and both against hand-picked cases
whose answer is plain."""
import random
import re

import pytest
from hypothesis import HealthCheck, example, given, settings

import quillet
import quillet_tree as qt
from selector_gen import Gen, check_selector, selectors, sweep, trees
from selector_oracle import OracleInvalid, oracle_drop, oracle_select

generated = settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@generated
@given(trees(), selectors())
@example(tree=[{"tag": "p", "id": "", "classes": ["", "a"], "style": "", "is_self_closing": False,
                "children": ["<!--c-->"]}], selector="p:empty[class^=' a']")
def test_select_agrees_with_the_oracle(tree, selector):
    check_selector(tree, selector)


# (markup, selector, the ids of the matches; None: not a valid selector)
NTH = '<ul><li id="a"></li>t<li id="b"></li><!--c--><li id="c"></li><li id="d"></li></ul>'
FORM = ('<fieldset id="f" disabled=""><legend id="g"><input id="in-legend"/></legend><input id="i"/>'
        '<legend id="h"><input id="in-second-legend"/></legend></fieldset>'
        '<select id="s"><optgroup id="og" disabled=""><option id="o1"></option></optgroup>'
        '<option id="o2" selected=""></option></select>'
        '<input id="c" type="CheckBox" checked=""/><input id="r" type="text" checked=""/><button id="b"></button>')
CASES = [
    (NTH, "li:nth-child(99999999999999999999999n+1)", ["a"]),
    (NTH, "li:nth-child(99999999999999999999999)", []),
    (NTH, "li:nth-child(-99999999999999999999999n+4)", ["d"]),
    (NTH, "li:nth-last-child(-n+2)", ["c", "d"]),
    (NTH, "li:nth-child(-n+3)", ["a", "b", "c"]),
    (NTH, "li:nth-child(0n+0)", []),
    (NTH, "li:nth-child(0n+2)", ["b"]),
    (NTH, "li:nth-child( +N + 3 )", ["c", "d"]),
    (NTH, "li:nth-child(even of :not(#a))", ["c"]),
    (NTH, "li:nth-last-child(1 of #a, #b)", ["b"]),
    (NTH, "li:nth-child(- n+3)", None),
    (NTH, "li:nth-child(+ n)", None),
    (NTH, "li:nth-child(1.0)", None),
    (NTH, "li:nth-of-type(1 of li)", None),
    (NTH, "li:first-child + li, li:last-child", ["b", "d"]),
    (NTH, "li ~ li ~ li ~ li", ["d"]),
    (NTH, ":is(li) ~ :is(li) ~ :is(li) ~ :is(li)", ["d"]),
    (NTH, "li:nth-child(odd of li):nth-child(-n+3 of li)", ["a", "c"]),
    (NTH, "li:nth-child(2 of li) ~ li:nth-child(n+2 of li)", ["c", "d"]),
    (NTH, "li:nth-last-child(-n+2 of li):nth-last-child(-n+3 of li)", ["c", "d"]),
    (NTH, "ul:has(> li#\\64 )", ["ul"]),
    (NTH, "ul:has(> #\\64)", ["ul"]),
    (NTH, "ul:has(> #\\34)", []),
    (NTH, "ul:has(#4)", None),
    (NTH, "ul:has(:has(li))", None),
    (NTH, ":is(:has(li), ul)", ["ul"]),
    (NTH, ":is()", []),
    (NTH, ":not()", None),
    (NTH, ":where(ul, ::before, li[)", ["ul"]),
    ('<p class=" a" id="1"></p><p class="" id="2"></p><p id="3"></p>', "[class]", ["1"]),
    ('<p class=" a" id="1"></p><p class="" id="2"></p>', ".\\000061", ["1"]),
    ('<p class=" a" id="1"></p><p class="a  b" id="2"></p>', "[class~=a]", ["1", "2"]),
    ('<p class=" a" id="1"></p><p class="a  b" id="2"></p>', "[class='a  b']", ["2"]),
    ('<p class="a" id="1" tag="x" children="y"></p>', "[tag], [children], [classes], [is_self_closing]", []),
    ('<p id="1" style=""></p><p id="2" style="s"></p>', "[style], [id=''], [style='']", ["2"]),
    ('<p id="1" title=""></p><p id="2"></p>', "[title], [title=''], [title^=''], [title*='']", ["1"]),
    ('<p id="1" title="A-b"></p>', "[title|=a i][title$=B i][title*='-' s]", ["1"]),
    ('<p id="1" title="A-b"></p>', "[title|=a]", []),
    ('<p id="1"><!--a--><!--b--></p><p id="2"> <!--a--></p><p id="3">x</p><p id="4"></p>', ":empty", ["1", "4"]),
    ('<p id="1"><!--a-->x<!--b--></p><p id="2"><br/></p>', ":empty", ["br"]),
    ('<div lang="en-US" id="1"><p id="2" lang="de-Latn-DE"><b id="3" lang=""></b></p><i id="4"></i></div>',
     ":lang(en), :lang(de-DE)", ["1", "2", "4"]),
    ('<div lang="fr-CH" id="1"><p id="2" lang="FR"></p></div>', ':lang("*-CH"), :lang(fr-ch)', ["1"]),
    ('<div lang="fr-CH" id="1"><p id="2" lang="FR"></p></div>', ":lang(*-CH)", None),
    ('<div lang="en-US" id="1"><p id="2" lang="DE-de"></p></div>', ":LANG(EN-us), :lang(de-DE)", ["1", "2"]),
    (FORM, ":disabled", ["f", "i", "in-second-legend", "og", "o1"]),
    (FORM, ":enabled", ["in-legend", "s", "o2", "c", "r", "b"]),
    (FORM, ":checked", ["o2", "c"]),
    ('<a id="1" href=""></a><a id="2"></a><area id="3" href="x"/><link id="4" href=""/><p href=""></p>',
     ":link, :any-link", ["1", "3"]),
    ("<p></p>", "p:hover", None),
    ("<p></p>", "p::before, p:after, p::slotted(x), p::part(a b)", []),
    ("<p></p>", "p::before.a", None),
    ("<p></p>", "p::before > a", None),
    ("<p></p>", "ns|p", None),
    ("<p></p>", "[ns|id]", None),
    ("<p></p>", "[*|id], |p, *|p", ["p"]),
    ("<p></p>", "P", []),
    ("<p></p>", ":is(" * 64 + "p" + ")" * 64, ["p"]),
    ("<p></p>", ":is(" * 65 + "p" + ")" * 65, None),
    ("<p></p>", ":is(" * 63 + "(p)" + ")" * 63, []),
    ("<p></p>", ":is(" * 64 + "(p)" + ")" * 64, None),
    ("<p></p>", "p[title='a\nb']", None),
    ('<p title="a&quot;"></p>', 'p[title="a&quot;', ["p"]),
    ("<p></p>", "p:not(:nth-child(2n+1 of p", []),
]


# Trees for the sweep: elements two and three levels below others, every
# kind of sibling, the form and language attributes, and random trees.
DEEP = ('<div id="x"><p class="a"><a lang="en-US" href=""><b class="b">t</b><i id="y"></i></a></p>'
        '<p></p><option selected=""></option></div><div class="A a-b"><a title="a b"><p>x</p></a></div>'
        '<fieldset disabled=""><div><input type="Radio" checked=""/></div></fieldset>')
SWEEP_TREES = {"deep": DEEP, "nth": NTH, "form": FORM,
               **{f"random {seed}": seed for seed in range(3)}}


@pytest.mark.parametrize("tree", SWEEP_TREES.values(), ids=SWEEP_TREES)
def test_every_choice_of_the_grammar(tree):
    if isinstance(tree, str):
        tree = quillet.parse(tree)
    else:
        tree = Gen(random.Random(tree).randrange, budget=60).tree()
    for selector in sweep():
        check_selector(tree, selector)


def named(nodes):
    """The id of each element of the answer, its tag when it has none."""
    return [e["id"] or e["tag"] for e in nodes]


@pytest.mark.parametrize("engine", ["native", "oracle"])
@pytest.mark.parametrize("markup, selector, expect", CASES, ids=[c[1][:60] for c in CASES])
def test_plain_cases(engine, markup, selector, expect):
    tree = quillet.parse(markup)
    select = qt.select if engine == "native" else oracle_select
    if expect is None:
        with pytest.raises(qt.SelectorError if engine == "native" else OracleInvalid):
            select(tree, selector)
    else:
        assert named(select(tree, selector)) == expect


# An+B numbers long past any position: leading zeros are read as nothing,
# up to 100 digits the number counts, and more is a SelectorError at its
# first digit, never the ValueError of int()'s limit on digits.
ZEROS, NINES = "0" * 5000, "9" * 100
LONG_NUMBERS = [
    (f"li:nth-child({ZEROS}2)", "li:nth-child(2)"),
    (f"li:nth-child(-n+{ZEROS}3)", "li:nth-child(-n+3)"),
    (f"li:nth-child({ZEROS}2n - {ZEROS}1)", "li:nth-child(2n-1)"),
    (f"li:nth-last-child(+{ZEROS}1)", "li:nth-last-child(1)"),
    (f"li:nth-child({NINES}n+1)", "li:nth-child(99999999999999999999999n+1)"),
    (f"li:nth-child(-{NINES}n+{NINES})", "li:nth-child(0)"),
    (f"li:nth-child({NINES}n-{NINES[:-1]}8)", "li:nth-child(1)"),
    (f"li:nth-child(1{NINES})", None),
    (f"li:nth-child(+{ZEROS}1{NINES})", None),
    (f"li:nth-child(2n+{'1' * 5000})", None),
    (f"li:nth-of-type(1{NINES}n)", None),
    (f"li:nth-last-child(-1{NINES}n-1 of li)", None),
    (f"li:nth-child(1{NINES}n-\\31 )", None),
]


@pytest.mark.parametrize("selector, same_as", LONG_NUMBERS, ids=[c[0][:30] for c in LONG_NUMBERS])
def test_long_an_b_numbers(selector, same_as):
    tree = quillet.parse(NTH)
    if same_as is not None:
        assert named(qt.select(tree, selector)) == named(oracle_select(tree, same_as))
        return
    # Its first digit, leading zeros and all.
    digits = re.search(r"[0-9]*[1-9][0-9]{100}", selector)
    for call in (lambda: qt.compile(selector), lambda: qt.select(tree, selector)):
        with pytest.raises(qt.SelectorError, match="An.B takes numbers of at most 100 digits") as info:
            call()
        assert info.value.position == digits.start() and info.value.pattern == selector


def element(tag, *children, **attributes):
    made = {"tag": tag, "id": "", "classes": [""], "style": "", "is_self_closing": False, **attributes}
    made.setdefault("children", list(children))
    return made


SHARED = element("b", id="s")
# Elements held by one list each, reached twice through what is shared above
# them: an element, or a list of children.
UNDER_SHARED = element("a", element("b", id="u"))
SHARED_CHILDREN = [element("b", id="l")]
# A div inside a div, and spans after the inner one closes.
NESTED = [element("div", element("p", element("div", element("span", id="1")), element("span", id="2")),
                  element("span", id="3"))]
# Trees parse cannot give: shared elements, nested lists, adjacent runs.
TREE_CASES = [
    ([SHARED, element("p", SHARED)], "p > b", ["s"]),
    ([SHARED, element("p", "x", SHARED)], "b:first-child", ["s"]),
    ([UNDER_SHARED, UNDER_SHARED], "b", ["u"]),
    ([UNDER_SHARED, element("p"), UNDER_SHARED], "a:first-child > b", ["u"]),
    ([UNDER_SHARED, element("p", UNDER_SHARED)], "b:empty", ["u"]),
    ([element("a", children=SHARED_CHILDREN), element("p", children=SHARED_CHILDREN)], "b", ["l"]),
    ([element("a", children=SHARED_CHILDREN), element("p", children=SHARED_CHILDREN)], "p > b", ["l"]),
    ([element("a", children=SHARED_CHILDREN), element("p", children=SHARED_CHILDREN)], "b:empty", ["l"]),
    ([element("p", ["a", [element("i")]], "b", id="1")], "p > i:only-child", ["i"]),
    ([["t", element("i", id="1")], element("i", id="2")], ":root + :root", ["2"]),
    (element("p", element("i")), ":root, :scope", ["p"]),
    ([element("p", "")], ":empty", []),
    ([element("p", None)], ":empty", ["p"]),
    ([element("p", classes="a b")], ".a, [class]", []),
    ([element("p", classes=["a", "b"])], "[class='a b'].b", ["p"]),
    (NESTED, "div span", ["1", "2", "3"]),
    (NESTED, "div div span, div > span", ["1", "3"]),
    (NESTED, "div > p span", ["1", "2"]),
    (NESTED, "p > div ~ span, p > * + span", ["2"]),
]


@pytest.mark.parametrize("tree, selector, expect", TREE_CASES, ids=[c[1] for c in TREE_CASES])
def test_trees_parse_cannot_give(tree, selector, expect):
    # quillet_tree's answers first, while no other list holds the tree's
    # elements: how many hold one must not change what is matched.
    assert named(qt.select(tree, selector)) == expect
    assert qt.drop(tree, selector) == oracle_drop(tree, selector)
    assert named(oracle_select(tree, selector)) == expect
    check_selector(tree, selector)


DROPS = [
    ("a<i>x</i>b<i>y</i>c", "i", ["abc"]),
    ("<p>a<i>x</i>b</p>", "p", []),
    ("<p>a<i>x</i>b</p>", "p > i", [element("p", "ab")]),
]


@pytest.mark.parametrize("markup, selector, expect", DROPS)
def test_drop_joins_runs(markup, selector, expect):
    tree = quillet.parse(markup)
    assert qt.drop(tree, selector) == expect
    assert qt.drop(None, selector) is None and qt.drop("t", selector) == "t"
    single = quillet.parse("<i>x</i>")[0]
    assert qt.drop(single, "i") is None
    assert qt.drop(single, "b") == single and qt.drop(single, "b") is not single


# Wrong types where the selector reads them: a TypeError naming the type.
BAD = [
    ([5], "p", "int"),
    ([element("p", 5.5)], "p", "float"),
    ([element("p", children="x")], "p", "str"),
    ([element("p", children=("x",))], "*", "tuple"),
    ([{"tag": 5, "children": []}], "p", "int"),
    ([element("p"), {"id": "", "children": []}], "p", 'element 1 in document order has no "tag"'),
    ([element("p", id=5)], "#x", "int"),
    ([element("p", classes=5)], ".a", "int"),
    ([element("p", classes=[b"a"])], ".a", "bytes"),
    ([element("p", title=5)], "[title]", "int"),
    ([element("p", lang=None)], ":lang(en)", "NoneType"),
    ([element("a", href=1.5)], ":link", "float"),
]


@pytest.mark.parametrize("tree, selector, name", BAD, ids=[f"{c[1]} {c[2]}" for c in BAD])
def test_wrong_types(tree, selector, name):
    for call in (oracle_select, qt.select, qt.drop):
        with pytest.raises(TypeError, match=name if call is not oracle_select else None):
            call(tree, selector)


# Lists nested in lists: each is let go once the list around it is matched,
# so that a refused selector needs as much for each element with lists
# nested 30 deep as with lists nested 2 deep.
NESTINGS = {"of S": ":nth-child(1 of {})", ":is": ":is({})", "both": ":nth-child(1 of :is({}))"}


@pytest.mark.parametrize("nesting", NESTINGS.values(), ids=list(NESTINGS))
def test_nested_lists_are_let_go_as_the_match_goes(nesting):
    wide = quillet.parse("<a></a>" * 200_000)
    refused = "".join(f":nth-last-child(1 of a, b{i})" for i in range(2000))
    needs = []
    for depth in (2, 30):
        chain = "a"  # matched before the lists of `refused`, which are held to the end
        for _ in range(depth):
            chain = nesting.format(chain)
        with pytest.raises(MemoryError) as caught:
            qt.select(wide, "a" + chain + refused)
        needs.append(int(re.search(r"needs (\d+) bytes", str(caught.value)).group(1)))
    assert needs[0] == needs[1]
