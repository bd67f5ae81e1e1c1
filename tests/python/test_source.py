"""quillet_tree.Source: element spans, line and column, edits of the text,
the layout of pre blocks, and why markup stayed text. The answers are
checked against parse itself (an element's markup, read alone, is that
element), a slow obvious cut of the matched ranges, lxml's text_content()
and what adding the missing piece to a tag that stayed text makes of it."""
import gc
import pathlib
import re

import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import quillet
import quillet_tree as qt
from quillet_tree import _native
from markup_inputs import CASES, PIECES, TEXT_PIECES, families
from test_cli import run
from test_hostile import run_child

CORPUS = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "corpus"
PAGES = sorted(p for p in CORPUS.glob("*") if p.suffix in (".html", ".xhtml", ".rss", ".atom")) \
    if CORPUS.is_dir() else []
MARKUP = st.one_of(st.lists(st.sampled_from(PIECES + TEXT_PIECES), max_size=25).map("".join),
                   st.sampled_from(CASES))
SELECTORS = ["a", "b", "p, i", "* > *", ":not(a)", "[k]", "nothing"]
BREAK = re.compile(r"\r\n?|\n")
HIDDEN_START = re.compile(r"<(script|style|template)", re.IGNORECASE)


def page(path):
    return qt.decode(path.read_bytes())


def visible_characters(text):
    """The characters a reader sees, whitespace left out: the same whatever
    whitespace parse dropped before an element."""
    return "".join(qt.text(quillet.parse(text), "", visible=True).split())


def slow_cut(text, ranges):
    """`text` without the union of `ranges`, a character at a time."""
    gone = [False] * len(text)
    for start, end in ranges:
        for i in range(start, end):
            gone[i] = True
    return "".join(c for c, cut in zip(text, gone) if not cut)


def slow_location(text, offset):
    """Line and column, counting the line breaks that end by `offset` (the
    LF of a CR LF pair belongs to the line it ends)."""
    ends = [m.end() for m in BREAK.finditer(text) if m.end() <= offset]
    return len(ends) + 1, offset - (ends[-1] if ends else 0) + 1


@settings(max_examples=300, deadline=None)
@given(MARKUP)
def test_each_span_reads_back_alone_as_its_element(text):
    source = qt.Source(text)
    assert qt.equal(source.tree, quillet.parse(text))
    elements = list(qt.elements(source.tree))
    assert len(source.spans()) == len(elements)
    last = -1
    for element, span in zip(elements, source.spans()):
        start, end = source.span(element)
        assert (start, end) == span and start > last
        last = start
        assert quillet.parse(text[start:end]) == [element]
        begin, finish = source.content_span(element)
        assert start < begin <= finish <= end
        assert (quillet.parse(text[begin:finish]) or []) == element["children"]
        assert source.location(element) == slow_location(text, start)


@pytest.mark.parametrize("text", ["a\r\nb\rc\n\nd", "\r\r\n\n", "x", "é\n\U0001F600x"])
def test_lines_end_at_lf_cr_lf_and_cr(text):
    source = qt.Source(text)
    assert [source.location(i) for i in range(len(text) + 1)] == \
        [slow_location(text, i) for i in range(len(text) + 1)]


@settings(max_examples=200, deadline=None)
@given(MARKUP, st.sampled_from(SELECTORS))
def test_remove_cuts_exactly_the_matched_elements(text, selector):
    # (Start tags of script, style and template kept as text match too:
    # see test_remove.)
    assume(not HIDDEN_START.search(text))
    source = qt.Source(text)
    matched = [source.span(e) for e in qt.select(source.tree, selector)]
    assert source.remove(selector) == slow_cut(text, matched)
    # Replacing each content by itself changes nothing.
    if any(e["is_self_closing"] for e in qt.select(source.tree, selector)):
        with pytest.raises(ValueError, match="self-closing"):
            source.replace_content(selector, content=lambda old: old)
    else:
        assert source.replace_content(selector, content=lambda old: old) == text


@pytest.mark.parametrize("text, selectors, comments, want", [
    # The trap of drop + to_markup: the runs that meet read as an element.
    ('<ul><li><script>x = "<li>";</script>\n</li></ul>', ["script"], False, "<ul><li>\n</li></ul>"),
    # Start tags kept as text match as elements where they stand.
    ("<div><script src='a.js'>x</script>y</div>", ['div > script[src="a.js"]'], False, "<div>y</div>"),
    ("<div><script src='a.js'>x</script>y</div>", ["p script"], False,
     "<div><script src='a.js'>x</script>y</div>"),
    ("<b>a<STYLE media='x'>p{}</style></b>", ["style"], False, "<b>a</b>"),
    ("<b><script id='s' class='c d'>1</script></b>", ["#s.d"], False, "<b></b>"),
    # Comments: across elements, empty, never ending; nested cuts as one.
    ("a<!-- x <b>y</b> -->z", [], True, "az"),
    ("a<!---->b<!-->c<!--->d", [], True, "abcd"),
    ("a<!-- never", [], True, "a"),
    ('<p>x<!-- c --><b k="1">y</b></p>', ["b", "p"], True, ""),
    ("<script>a<!--b</script>c", [], True, "<script>a<!--b</script>c"),
])
def test_remove(text, selectors, comments, want):
    assert qt.Source(text).remove(*selectors, comments=comments) == want


@pytest.mark.parametrize("text, selector, comments, want", [
    ("<p>a<b>b</b></p><b>c</b>", "b", False, "<p>a<b>[b]</b></p><b>[c]</b>"),
    ("<p>a<b>b</b></p>", "p, b", False, "<p>[a<b>b</b>]</p>"),
    ("x<!--a--><!----><!-->", None, True, "x<!--[a]--><!--[]--><!--[]-->"),
    ("x<!---><!--a", None, True, "x<!--[]--><!--[a]"),
    ("<i><script>s</script></i>", "script", False, "<i><script>[s]</script></i>"),
])
def test_replace_content(text, selector, comments, want):
    source = qt.Source(text)
    selectors = [selector] if selector else []
    assert source.replace_content(*selectors, content=lambda old: f"[{old}]", comments=comments) == want


def test_what_the_native_half_returns_is_whole():
    # Made before the parse and filled after it, the pair is then tracked as
    # any tuple is (an untracked one would hide a cycle through the tree).
    pair = _native.parse_source("<a/>")
    assert gc.is_tracked(pair) and len(pair[1]) == 16
    assert repr(_native.REASONS).startswith("('', ") and qt.REASONS == _native.REASONS[2:]


def test_misuse_is_refused():
    source = qt.Source('<p><img src="x"/></p>')
    with pytest.raises(ValueError, match="self-closing"):
        source.replace_content("img", content="")
    with pytest.raises(ValueError, match="not one of"):
        source.span({"tag": "p", "children": []})
    with pytest.raises(TypeError):
        source.location("1")
    with pytest.raises(ValueError, match="outside"):
        source.location(len(source.text) + 1)
    with pytest.raises(TypeError):
        source.remove(3)
    with pytest.raises(TypeError):
        source.replace_content("p", content=3)
    with pytest.raises(TypeError):
        qt.Source(b"<p></p>")
    class Lying(str):
        def startswith(self, *args):
            return False

        def __len__(self):
            return 0

        def __getitem__(self, index):
            return ""

    lying = qt.Source(Lying("<p>a<!-- c --></p>"))
    assert type(lying.text) is str and lying.remove(comments=True) == "<p>a</p>"
    changed = qt.Source("<p>a</p><b>c</b>")
    changed.tree[0]["children"].append("x")
    for call in (lambda: changed.remove("b"), changed.visible_text, lambda: changed.remove(comments=True)):
        with pytest.raises(ValueError, match="changed"):
            call()


@pytest.mark.parametrize("text, want", [
    ("<pre>\n  a\n  <b>b</b>  &amp; <!-- c --><script>x</script>\n</pre>z", "  a\n  b  & \n z"),
    ("<p>x</p><pre>a\r\n\r\n b</pre>", "x a\r\n\r\n b"),
    ("<textarea>\n\n t</textarea><listing> l </listing>", "\n t  l "),
    ("<pre><pre>  in</pre> out</pre>", "  in out"),
    # A CR LF after the start tag goes whole; tags whose names start with
    # no letter are cut too (the text reader would keep them).
    ("<pre>\r\n\r\nx</pre>", "\r\nx"),
    ("<pre><_a>x</_a> <1/></pre>", "x "),
])
def test_visible_text_keeps_the_layout_of_pre(text, want):
    assert qt.Source(text).visible_text() == want


def test_a_pre_block_joins_what_stands_around_it_as_one_piece():
    source = qt.Source("a<pre>b</pre>c <pre>d</pre>")
    assert [source.visible_text(sep=sep) for sep in ("", "|")] == ["abcd", "a|b|c|d"]


@pytest.mark.skipif("std-rfc9110.html" not in [p.name for p in PAGES], reason="corpus not present")
def test_pre_blocks_read_as_lxml_reads_them():
    html = pytest.importorskip("lxml.html")
    text = page(CORPUS / "std-rfc9110.html")
    source = qt.Source(text)
    ours = [source.visible_text(pre, "") for pre in qt.select(source.tree, "pre")]
    theirs = [pre.text_content() for pre in html.document_fromstring(text).iter("pre")]
    assert len(ours) == 161 and ours == theirs


# Each reason with a tag that stayed text for it, and what mends it: the
# mended markup reads as an element.
EXPLAINED = [
    ('<a xml:lang="en">x</a>', '<a xml:lang="en">', "a ':' in a name", '<a lang="en">x</a>'),
    ("<dc:date>1</dc:date>", "<dc:date>", "a ':' in a name", "<date>1</date>"),
    ("<a.b>", "<a.b>", "a character no name may hold", "<a/>"),
    ("<input disabled>", "<input disabled>", "an attribute without a value", '<input disabled=""/>'),
    ("<p class='x'>y</p>", "<p class='x'>", "a single-quoted value", '<p class="x">y</p>'),
    ("<p class=x>y</p>", "<p class=x>", "an unquoted value", '<p class="x">y</p>'),
    ('<p k="v>y', '<p k="v>', "a value without its closing quote", '<p k="v"/>'),
    ('<p>a</p k="v">', '</p k="v">', "attributes on an end tag", "<p>a</p>"),
    ("<p>a</p/>", "</p/>", "a '/' at the end of an end tag", "<p>a</p>"),
    ("<br/ >", "<br/ >", "a '/' that is not the last character", "<br />"),
    ('<a "x">', '<a "x">', "a character that starts no attribute", "<a/>"),
    ('<a k="1" k="2">x</a>', '<a k="1" k="2">', "a repeated attribute", '<a k="1">x</a>'),
    ("a <b c", "<b c", "no '>' closes it", "<b/>"),
    ("<p>text", "<p>", "no closing tag", "<p>text</p>"),
    ("<br>", "<br>", "no '/' on a tag that never closes", "<br/>"),
    ("<b><i>x</b></i>", "<i>", "its closing tag lies outside the element around it", "<b><i>x</i></b>"),
    ("x</div>", "</div>", "an end tag with no start tag open", "<div>x</div>"),
    ('<p>a<b k="</p>">', '<b k="</p>">', "its '>' lies outside the element around it", None),
    ("<a k='<b>'>", "<b>", "inside another tag", None),
]


@pytest.mark.parametrize("text, markup, reason, mended", EXPLAINED, ids=[e[2] for e in EXPLAINED])
def test_explain_says_why_and_the_mended_tag_is_an_element(text, markup, reason, mended):
    rows = {(row.markup, row.reason) for row in qt.Source(text).explain()}
    assert (markup, reason) in rows
    if mended is not None:
        assert any(isinstance(node, dict) for node in quillet.parse(mended) or [])


def test_every_reason_is_explained_above():
    assert sorted(qt.REASONS) == sorted({row[2] for row in EXPLAINED})


@settings(max_examples=200, deadline=None)
@given(MARKUP)
def test_explained_tags_stand_in_text_runs(text):
    source = qt.Source(text)
    # Characters of the elements' own tags: none of them stayed text.
    depth = [0] * (len(text) + 1)
    for element in qt.elements(source.tree):
        (start, end), (begin, finish) = source.span(element), source.content_span(element)
        for a, b in ((start, begin), (finish, end)):
            depth[a] += 1
            depth[b] -= 1
    in_tag, level = [], 0
    for d in depth:
        level += d
        in_tag.append(level > 0)
    for row in source.explain():
        assert re.match(r"</?[A-Za-z]", text[row.offset:]) and not in_tag[row.offset]
        assert text.startswith(row.markup.removesuffix("..."), row.offset)
        assert (row.line, row.column) == slow_location(text, row.offset)


@pytest.mark.parametrize("path", PAGES, ids=lambda p: p.name)
def test_corpus_pages_clean_up(path):
    text = page(path)
    source = qt.Source(text)
    assert source.remove("nothing-matches") == text
    clean = source.remove("script, style", comments=True)
    lowered = clean.lower()
    assert "<script" not in lowered and "<style" not in lowered and "<!--" not in lowered
    assert visible_characters(clean) == visible_characters(text)


@pytest.mark.slow
@pytest.mark.parametrize("path", PAGES, ids=lambda p: p.name)
def test_command_cleans_corpus_pages_and_gives_untouched_ones_back(path):
    status, out, err = run("--remove", "script, style", "--strip-comments", path, raw=True)
    assert status == 0
    clean = qt.decode(out)
    lowered = clean.lower()
    assert "<script" not in lowered and "<style" not in lowered and "<!--" not in lowered
    assert visible_characters(clean) == visible_characters(page(path))
    assert run("--remove", "nothing-matches", path, raw=True)[1] == path.read_bytes()


@pytest.mark.slow
def test_spans_edits_and_explain_are_linear():
    # Each shape at n and 8n in a child: a quadratic step takes many
    # minutes at 8n, the linear ones about 20 s in all.
    run_child(f"""
        import sys
        sys.path.insert(0, {str(pathlib.Path(__file__).parent)!r})
        import quillet_tree as qt
        from markup_inputs import families
        for n in (25_000, 200_000):
            for text in families(n) + ["<pre>" + " <b>x</b>" * n + "</pre>", "<!--" * n + "-->" * n,
                                       "<script>" * n, "<p>" * n + "<pre>" + "</p>" * n]:
                s = qt.Source(text)
                s.remove("b, p, script", comments=True)
                s.replace_content("*", content="", comments=True) if "/>" not in text else None
                s.visible_text()
                s.explain()
                [s.location(e) for e in qt.select(s.tree, "*")]
    """, timeout=180, debug_malloc=False)
