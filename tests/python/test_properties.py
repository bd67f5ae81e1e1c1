"""Properties that hold for every input: generated text and generated markup."""
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quillet
from tree_shape import check_tree

# Generated text: a fault that makes parse grow without end fails the test.
pytestmark = pytest.mark.memory_cap

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
