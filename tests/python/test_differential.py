"""quillet.parse against the step-by-step detector engine (_quillet_reference).

The reference module is built with the C++ test suite; scripts/test.sh points
QUILLET_REFERENCE_DIR at it. Key order counts: trees are compared as nested
lists of items.
"""
import os
import pathlib
import random
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quillet
from markup_inputs import CASES, CHARACTERS, PIECES, families, random_text

_dir = os.environ.get("QUILLET_REFERENCE_DIR")
if _dir:
    sys.path.insert(0, _dir)
reference = pytest.importorskip("_quillet_reference")

# Generated text: a fault that makes parse grow without end fails the test.
pytestmark = pytest.mark.memory_cap

CORPUS = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "corpus"


def ordered(tree):
    """The tree with every dict as its list of items, so order is compared too."""
    if isinstance(tree, list):
        return [ordered(x) for x in tree]
    if isinstance(tree, dict):
        return [(k, ordered(v)) for k, v in tree.items()]
    return tree


def same(text):
    assert ordered(quillet.parse(text)) == ordered(reference.parse(text)), text


@settings(max_examples=1500, deadline=None)
@given(st.lists(st.sampled_from(PIECES), max_size=30).map("".join))
def test_generated_markup(text):
    same(text)


@settings(max_examples=500, deadline=None)
@given(st.text(alphabet=CHARACTERS, max_size=60))
def test_generated_characters(text):
    same(text)


# Many distinct tag and attribute names, so that names collide in the
# tables that intern them, and those tables grow.
MANY_NAMES = ["".join(f'<t{i} k{i}="v"><u{i}>x</u{i}></t{i}>' for i in range(n)) for n in (40, 200, 3000)]


@pytest.mark.parametrize("text", CASES + MANY_NAMES)
def test_hand_picked_cases(text):
    same(text)


@pytest.mark.parametrize("n", [1, 2, 3, 7])
def test_families(n):
    rng = random.Random(5 + n)
    for base in families(n):
        same(base)
        for _ in range(10):
            same(random_text(rng, 4) + base + random_text(rng, 4))


@pytest.mark.parametrize(
    "name", ["fragment-small.html", "wpt-grouping-dl.html", "fragment-wikipedia-utf8-history.html"]
)
def test_small_corpus_documents(name):
    path = CORPUS / name
    if not path.exists():
        pytest.skip("corpus not present")
    same(path.read_text(encoding="utf-8"))
