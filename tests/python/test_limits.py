"""Inputs at the limits: deep nesting, long texts, texts whose UTF-8 form
passes 2 GiB, the largest text parse accepts (positions are 32 bits), and
long selectors over big trees."""
import pytest

import quillet
import quillet_tree as qt

pytestmark = pytest.mark.slow

N = 1_000_000


def depth_of(tree):
    """How many single elements are nested one in another, walked without recursion."""
    depth = 0
    while tree:
        (node,) = tree
        assert node["tag"] == "a"
        tree = node["children"]
        depth += 1
    return depth


def test_a_million_nested_elements():
    assert depth_of(quillet.parse("<a>" * N + "</a>" * N)) == N


@pytest.mark.parametrize("text", ["<a>" * N, "<a>" * N + "</a>" * (N - 1)], ids=["unclosed", "one short"])
def test_a_million_open_tags_without_their_closings(text):
    tree = quillet.parse(text)
    if text.endswith("</a>"):  # the outermost stays open, the rest nest inside the second
        assert tree[0] == "<a>" and depth_of(tree[1:]) == N - 1
    else:
        assert tree == [text]


BLOCK = ('<div id="d" class="a b" data-k="v">' + "lorem ipsum " * 20 + "<b>bold</b><br/> tail</div>"
         "text<p>never closed <i>\u00e9\U0001f600</i><span/>")


# Texts and values longer than parse copies at one go (4 Mi characters),
# whose one wide character sits at either end of a piece: the str still
# holds every character, in the storage it needs.
LONG = 1 << 22


@pytest.mark.parametrize("wide", ["\xe9", "\u6161", "\U0001F600"], ids=["latin1", "ucs2", "ucs4"])
@pytest.mark.parametrize("at", [0, LONG - 1, LONG, 2 * LONG + 5])
def test_long_texts_keep_their_widest_character(wide, at):
    run = "x" * at + wide + "x" * (2 * LONG + 6 - at)
    tree = quillet.parse(run + '<b k="' + run + '"></b>')
    assert tree[0] == run and tree[1]["k"] == run


@pytest.mark.bigmem(8)
def test_256_mib_of_markup():
    copies = (256 << 20) // len(BLOCK) + 1
    # Each copy starts and ends with an element, so copies do not touch.
    assert quillet.parse(BLOCK * copies) == quillet.parse(BLOCK) * copies


@pytest.mark.bigmem(8)
def test_256_mib_of_unclosed_tags():
    text = "<a>" * ((256 << 20) // 3)
    assert quillet.parse(text) == [text]


@pytest.mark.bigmem(6)
def test_utf8_form_beyond_2_gib():
    text = "\u00e9" * (1 << 30) + '<b id="x">\u20ac</b>'  # 2 GiB + 17 bytes as UTF-8
    run, element = quillet.parse(text)
    assert len(run) == 1 << 30 and run == text[: 1 << 30]
    assert element["id"] == "x" and element["children"] == ["\u20ac"]


@pytest.mark.bigmem(10)
def test_positions_beyond_2_to_the_31():
    text = "a" * (1 << 31) + '<b k="v">x</b>'
    run, element = quillet.parse(text)
    assert len(run) == 1 << 31
    assert element["k"] == "v" and element["children"] == ["x"]


@pytest.mark.bigmem(14)
def test_the_longest_text_parse_accepts_and_the_first_it_refuses():
    tail = "<b>x</b>"
    text = "a" * (2**32 - 2 - len(tail)) + tail  # 2^32 - 2 characters
    run, element = quillet.parse(text)
    assert len(run) == 2**32 - 2 - len(tail) and element["children"] == ["x"]
    del run, element
    assert qt._native.explain(text) == []
    with pytest.raises(ValueError, match="fewer than 4294967295 characters"):
        quillet.parse(text + "a")
    with pytest.raises(ValueError, match="fewer than 4294967295 characters"):
        qt._native.explain(text + "a")


# Long selectors over big trees. What a match keeps may grow with the tree
# or with the selector, not with both: each selector here either matches in
# half a GiB, where keeping something per element (or per open element) for
# each compound or each test takes gigabytes, or is refused before it starts.
DEEP, WIDE = 300_000, 200_000
REFUSED = (r"select\(\): the selector \(4001 compound selectors, 2000 tests\) needs \d+ bytes for each"
           r" element, \d+ MiB for 200000 of them, more than the 1024 MiB a match may take")
LONG_SELECTORS = [
    # (tree, selector, how many elements match, or the MemoryError's message)
    ("deep", " ".join(["a"] * 1000), DEEP - 999),
    ("deep", " > ".join(["a"] * 1000), DEEP - 999),
    ("wide", "a" + ":nth-last-child(2n+1 of a)" * 1700, WIDE // 2),
    ("wide", "a" + "".join(f":nth-last-child(1 of a, b{i})" for i in range(2000)), REFUSED),
]


@pytest.fixture(scope="module")
def big_trees():
    return {"deep": quillet.parse("<a>" * DEEP + "</a>" * DEEP), "wide": quillet.parse("<a></a>" * WIDE)}


@pytest.mark.memory_cap(0.5)
@pytest.mark.parametrize("shape, selector, expect", LONG_SELECTORS,
                         ids=["a a a", "a > a > a", "of S repeated", "of S each new"])
def test_long_selectors_over_big_trees(big_trees, shape, selector, expect):
    tree = big_trees[shape]
    if isinstance(expect, str):
        with pytest.raises(MemoryError, match=expect):
            qt.select(tree, selector)
    else:
        assert len(qt.select(tree, selector)) == expect
