"""Properties that hold for every input: generated text and generated markup."""
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quillet

LEADING = ["tag", "id", "classes", "style", "is_self_closing"]

names = st.sampled_from(["p", "a", "b", "div", "span", "x-1"])
attr_names = st.sampled_from(["href", "title", "data-x", "id", "class", "style", "x_y"])
values = st.text(alphabet='ab <>/=" \u00e9', max_size=6).map(lambda v: v.replace('"', ""))
words = st.text(alphabet="ab \n\t\u00e9<>/=\"'", max_size=8)


@st.composite
def attributes(draw):
    keys = draw(st.lists(attr_names, max_size=3, unique=True))
    return "".join(f' {k}="{draw(values)}"' for k in keys)


def element(children):
    @st.composite
    def build(draw):
        name, attrs = draw(names), draw(attributes())
        if draw(st.booleans()):
            return f"<{name}{attrs}/>"
        inner = "".join(draw(st.lists(children, max_size=4)))
        close = draw(st.sampled_from([f"</{name}>", f"</{name}>", "", "</q>"]))  # sometimes broken
        return f"<{name}{attrs}>{inner}{close}"
    return build()


markup = st.recursive(words, element, max_leaves=12).map(str)
documents = st.lists(markup, max_size=5).map("".join)


def check_tree(tree, text):
    """The shape every parse result has, walked without recursion."""
    if text == "":
        assert tree is None
        return
    assert type(tree) is list and tree
    pending = [tree]
    while pending:
        nodes = pending.pop()
        assert type(nodes) is list
        for before, node in zip([None] + nodes, nodes):
            if type(node) is str:
                assert node, "empty text run"
                assert type(before) is not str, "two text runs side by side"
                continue
            assert type(node) is dict
            keys = list(node)
            assert keys[:5] == LEADING and keys[-1] == "children"
            assert type(node["tag"]) is str and node["tag"]
            assert type(node["id"]) is str and type(node["style"]) is str
            assert type(node["classes"]) is list and all(type(c) is str for c in node["classes"])
            assert type(node["is_self_closing"]) is bool
            assert all(type(node[k]) is str for k in keys[5:-1])
            assert not {"class", "attributes"} & set(keys)
            if node["is_self_closing"]:
                assert node["children"] == []
            pending.append(node["children"])
    if all(type(node) is str for node in tree):
        assert tree == [text]


@settings(max_examples=1000, deadline=None)
@given(st.text())
def test_any_text(text):
    check_tree(quillet.parse(text), text)


@settings(max_examples=500, deadline=None)
@given(st.text(alphabet=st.characters(blacklist_characters="<", blacklist_categories=["Cs"])))
def test_text_without_markup_comes_back_whole(text):
    assert quillet.parse(text) == ([text] if text else None)


@settings(max_examples=2000, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(documents)
def test_generated_markup(text):
    check_tree(quillet.parse(text), text)
