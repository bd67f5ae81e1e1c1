"""The returned tree: text runs as str, elements as dicts with a fixed key order."""
import json

import pytest

import quillet


def el(tag, children=(), *, id="", classes=("",), style="", self_closing=False, attrs=None):
    """An element dict in the order parse lists its keys."""
    classes = classes if isinstance(classes, str) else list(classes)  # an attribute may replace it
    node = {"tag": tag, "id": id, "classes": classes, "style": style,
            "is_self_closing": self_closing}
    node.update(attrs or {})
    node["children"] = list(children)
    return node


def same(actual, expected):
    """Equal, key order included (json keeps the order of dict keys)."""
    return json.dumps(actual) == json.dumps(expected)


@pytest.mark.parametrize(
    "text, expected",
    [
        ('<p class="a b">Hi <b>x</b></p>!',
         [el("p", ["Hi", el("b", ["x"])], classes=["a", "b"]), "!"]),
        ('<a href="h" id="i" data-x="1" style="s" class="c" title="">t</a>',
         [el("a", ["t"], id="i", classes=["c"], style="s",
             attrs={"href": "h", "data-x": "1", "title": ""})]),
        ('<p class="a  b">x</p>', [el("p", ["x"], classes=["a", "", "b"])]),
        ('<p class="a b ">x</p>', [el("p", ["x"], classes=["a", "b", ""])]),
        ('<p class=" a">x</p>', [el("p", ["x"], classes=["", "a"])]),
        ('<p class="a\tb">x</p>', [el("p", ["x"], classes=["a\tb"])]),
        ("<br/>", [el("br", self_closing=True)]),
        ('<img src="a.png" />', [el("img", self_closing=True, attrs={"src": "a.png"})]),
        ("<p></p>", [el("p")]),
        ("<a><a></a></a>", [el("a", [el("a")])]),
        ("<a><a/></a>", ["<a>", el("a", self_closing=True), "</a>"]),
        ("  <p>x</p>", [el("p", ["x"])]),
        ("<p>x</p>  ", [el("p", ["x"]), "  "]),
        ("a <i>b</i> c", ["a", el("i", ["b"]), " c"]),
        ("<p>\u00e9 <b>\U0001f600</b></p>", [el("p", ["\u00e9", el("b", ["\U0001f600"])])]),
        # attributes named like the fixed keys
        ('<p tag="t" is_self_closing="no" classes="c">y</p>',
         [el("t", ["y"], classes="c", self_closing="no")]),
        ('<p children="c" attributes="a">y</p>', [el("p", ["y"], attrs={"attributes": "a"})]),
        # many attributes keep their order; a late one replaces a fixed key in place
        ("<p" + "".join(f' a{i}="{i}"' for i in range(40, 0, -1)) + ' tag="new">y</p>',
         [el("new", ["y"], attrs={f"a{i}": str(i) for i in range(40, 0, -1)})]),
    ],
)
def test_elements(text, expected):
    assert same(quillet.parse(text), expected)


@pytest.mark.parametrize(
    "text",
    [
        "<p>unclosed",
        "</p>",
        "<br>",
        "x <> y",
        "<p>x</P>",
        '<div x="1" x="2">a</div>',
        "<p class='x'>single quotes</p>",
        "<input disabled>x</input>",
        "< /a>",
    ],
)
def test_malformed_markup_is_text(text):
    assert quillet.parse(text) == [text]


def test_empty_tag_inside_an_element_is_content():
    assert same(quillet.parse("<p>a <>b</p>"), [el("p", ["a <>b"])])


def test_key_order_is_the_same_on_every_call():
    text = '<div z="1" a="2" m="3" id="x"><span y="1" b="2"/></div>'
    first = json.dumps(quillet.parse(text))
    assert all(json.dumps(quillet.parse(text)) == first for _ in range(20))
    assert list(quillet.parse(text)[0]) == [
        "tag", "id", "classes", "style", "is_self_closing", "z", "a", "m", "children"]


@pytest.mark.parametrize("count", [2, 8, 9, 17, 64])
def test_a_repeated_key_makes_the_tag_text_however_many_keys_it_has(count):
    # Every pair of places for the repeat, at each size on both sides of the
    # short-tag path: the tag is text exactly when two keys are the same.
    places = [(i, j) for i in range(count) for j in range(i + 1, count)]
    for i, j in places[:: max(1, len(places) // 60)] + [(count - 2, count - 1)]:
        keys = [f"k{n}" for n in range(count)]
        keys[j] = keys[i]
        text = "<a" + "".join(f' {k}="{n}"' for n, k in enumerate(keys)) + ">t</a>"
        assert quillet.parse(text) == [text], (i, j)
    distinct = "<a" + "".join(f' k{n}="{n}"' for n in range(count)) + ">t</a>"
    assert type(quillet.parse(distinct)[0]) is dict


def test_every_container_of_the_tree_is_tracked_by_the_collector():
    # Long levels and short ones, elements with and without content: once
    # parse returns, the collector sees every list and dict (it must, to
    # free trees that user code makes into cycles).
    import gc

    text = "<r>" + '<p class="c">x<b>y</b><br/></p>' * 10_000 + "</r>" + "<i>z</i>" * 5000
    stack, containers = [quillet.parse(text)], 0
    while stack:
        node = stack.pop()
        if type(node) is dict:
            stack += [node["classes"], node["children"]]
        if type(node) in (dict, list):
            assert gc.is_tracked(node), node
            containers += 1
            stack += node if type(node) is list else []
    assert containers > 100_000
