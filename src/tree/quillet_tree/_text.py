"""The visible text of a tree: what a reader of the page sees of its text runs.

parse keeps as text whatever it does not read as an element: comments, the
doctype, processing instructions, CDATA sections and tags it does not take
(`<br>`, `<dc:date>`, `<p class='x'>`). The reader here goes through the text
runs in document order and leaves that markup out, as a browser would:

- `<!-- ... -->` is left out with all it holds, up to the first `-->`, even
  when elements lie in between (parse reads a comment's tags as elements);
  `<!-->` and `<!--->` are empty comments; one that never ends takes the rest;
- `<!...>` (the doctype and other declarations) and `<?...>` (processing
  instructions) are left out up to the first `>` of the same run;
- `<![CDATA[` and `]]>` are left out, and what lies between is kept as
  written (no markup, no character references inside);
- a tag, `<name ...>` or `</name ...>` where the name starts with an ASCII
  letter and the first `>` of the same run ends it, is left out and its
  content kept; a `<script>`, `<style>` or `<template>` start tag kept as
  text also leaves out what follows it in the run, up to its end tag.

Each piece of text between two such pieces of markup (or elements) has its
character references decoded by html.unescape (see unescape), and is then cut into words at
ASCII whitespace (space, tab, LF, FF, CR; a no-break space is no
whitespace). Words of one piece are joined by a space; words of two pieces
by `sep`, or, when `sep` is empty, by a space if whitespace lay between them
and by nothing otherwise.
"""
from __future__ import annotations

import html
import re
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

# Where markup may start in text.
_OPEN = re.compile(r"<(?:!--|!\[CDATA\[|[!?]|/?[A-Za-z])")
# A tag: its name, then anything up to the first '>'.
_TAG = re.compile(r"</?([A-Za-z][^\t\n\f\r />]*)[^>]*>")
# The start tags whose content is never shown.
HIDDEN = frozenset({"script", "style", "template"})
# Where the end tag of each may start: "</" and the name, in any case, then
# whitespace, '/' or '>'.
_END_TAG_START = {name: re.compile(rf"</{name}(?=[\t\n\f\r />])", re.IGNORECASE) for name in HIDDEN}
# A decimal character reference with more digits than a code point needs.
_LONG_DECIMAL = re.compile(r"&#([0-9]{8,})")
_WORDS = re.compile(r"[^ \t\n\f\r]+")
_SPACE = frozenset(" \t\n\f\r")

# States of the reader between runs.
_TEXT, _COMMENT, _CDATA, _HIDDEN_CONTENT = range(4)

# What read() yields: (PIECE, run, start, end, decode) for a piece of text
# run number `run`, `decode` False inside a CDATA section;
# (COMMENT, run, start, end_run, end) for a comment, which may end in a later
# run (end_run None: it never ends); (HIDDEN_TAG, run, start, content_start,
# content_end, end, name) for a script, style or template start tag kept as
# text with the content it hides, all in one run.
PIECE, COMMENT, HIDDEN_TAG = range(3)


def read(runs: Sequence[str]) -> Iterator[Tuple[Any, ...]]:
    """The visible pieces of `runs`, and the comments and hidden content
    between them, in order (see PIECE)."""
    state, end_tag = _TEXT, ""
    comment_run = comment_start = hidden_start = 0
    for number, run in enumerate(runs):
        pos, size, gt_left = 0, len(run), True
        if state == _HIDDEN_CONTENT:
            # The start tag ended its run: so did its content.
            state = _TEXT
        while pos < size:
            if state == _COMMENT:
                end = run.find("-->", pos)
                if end < 0:
                    break
                yield COMMENT, comment_run, comment_start, number, end + 3
                pos, state = end + 3, _TEXT
            elif state == _CDATA:
                end = run.find("]]>", pos)
                if end < 0:
                    yield PIECE, number, pos, size, False
                    break
                if end > pos:
                    yield PIECE, number, pos, end, False
                pos, state = end + 3, _TEXT
            elif state == _HIDDEN_CONTENT:
                # Without its end tag in the run, the content ends with the
                # run: parse read the rest as elements, which may well hold
                # the end tag (a script writing markup), so the end tag is
                # not waited for.
                state = _TEXT
                begin, end = _end_tag(run, pos, end_tag)
                if end < 0:
                    yield HIDDEN_TAG, number, hidden_start, pos, size, size, end_tag
                    break
                yield HIDDEN_TAG, number, hidden_start, pos, begin, end, end_tag
                pos = end
            else:
                # A '<' that opens no markup is text: the search goes on after
                # it, and the piece still starts at `pos`.
                # Once a '>' is not found, none is left in the run: every
                # later '<' is then checked in constant time. (A '>' found
                # ends the tag or declaration that starts here, so each is
                # searched for once.)
                scan = pos
                while True:
                    found = _OPEN.search(run, scan)
                    if not found:
                        break
                    start, mark = found.start(), found.group()
                    if mark == "<!--" or mark == "<![CDATA[":
                        break
                    if gt_left:
                        end = run.find(">", start)
                        if end < 0:
                            gt_left = False
                        elif mark in ("<!", "<?"):
                            break
                        else:
                            # With a '>' ahead the match cannot fail, nor
                            # backtrack: each tag is read once.
                            tag = _TAG.match(run, start)
                            break
                    scan = start + 1
                if not found:
                    yield PIECE, number, pos, size, True
                    break
                if start > pos:
                    yield PIECE, number, pos, start, True
                if mark == "<!--":
                    # "-->" may share the opening's dashes: <!--> and <!--->.
                    end = run.find("-->", start + 2)
                    if end < 0:
                        state, comment_run, comment_start = _COMMENT, number, start
                        break
                    yield COMMENT, number, start, number, end + 3
                    pos = end + 3
                elif mark == "<![CDATA[":
                    pos, state = found.end(), _CDATA
                elif mark in ("<!", "<?"):
                    pos = end + 1
                else:
                    assert tag is not None
                    pos = tag.end()
                    name = tag.group(1).lower()
                    if (name in HIDDEN and mark[1] != "/"
                            and not tag.group().endswith("/>")):
                        end_tag, state, hidden_start = name, _HIDDEN_CONTENT, start
        if state == _HIDDEN_CONTENT:
            # The start tag ended its run: so did its content.
            yield HIDDEN_TAG, number, hidden_start, size, size, size, end_tag
            state = _TEXT
    if state == _COMMENT:
        yield COMMENT, comment_run, comment_start, None, 0


def _pieces(runs: Sequence[str]) -> Iterator[Tuple[str, bool]]:
    """(piece, decode) for the visible pieces of `runs`, in order: decode is
    False for the content of a CDATA section."""
    for event in read(runs):
        if event[0] == PIECE:
            yield runs[event[1]][event[2]:event[3]], event[4]


def _end_tag(run: str, pos: int, name: str) -> Tuple[int, int]:
    """Where the first end tag of `name` in `run` from `pos` starts and ends
    (the position after its '>'), or (-1, -1) for none: "</name" in any
    case, then '>' at once, or whitespace or '/' and anything up to the
    first '>'.

    Only the first "</name" that whitespace, '/' or '>' follows can start
    it: the '>' it needs is the first after it, and when the run has none,
    no later "</name" has one either. So the run is read once, not once for
    each "</name" (by a pattern such as "</name(\\s[^>]*)?>", which reads
    up to the end of the run from each one).
    """
    found = _END_TAG_START[name].search(run, pos)
    if not found:
        return -1, -1
    end = run.find(">", found.end())
    return (found.start(), end + 1) if end >= 0 else (-1, -1)


def _short_decimal(found: re.Match[str]) -> str:
    digits = found.group(1).lstrip("0") or "0"
    # Eight digits or more without leading zeros lie past U+10FFFF, which
    # html.unescape reads as U+FFFD: so does 1114112.
    return "&#" + (digits if len(digits) < 8 else "1114112")


def unescape(text: str) -> str:
    """html.unescape(text), for decimal references of any length.

    html.unescape hands all the digits of `&#...` to int(), which takes time
    quadratic in their number and, from Python 3.11 (and the security
    releases of 3.9 and 3.10), raises ValueError past 4,300 of them; such a
    reference is first written with its leading zeros dropped, or as
    `&#1114112` when it lies past U+10FFFF, which decodes the same.
    """
    if "&#" in text:
        text = _LONG_DECIMAL.sub(_short_decimal, text)
    return html.unescape(text)


def visible_text(runs: Sequence[str], sep: str, kept: Optional[Dict[int, int]] = None) -> str:
    """The visible text of `runs` (see the module's docstring). `kept` maps
    the numbers of runs whose whitespace is shown as written (the content of
    a pre element) to the block they belong to: the pieces of one block are
    decoded and joined as they are, and the block then counts as one piece.
    """
    out: List[str] = []
    # Whether whitespace lay between the last word and what comes next, and
    # whether a piece has ended since that word.
    spaced = new_piece = False
    for piece, decode in _units(runs, kept) if kept else _pieces(runs):
        if decode and "&" in piece:
            piece = unescape(piece)
        if not piece:
            continue
        if piece[0] in _SPACE:
            spaced = True
        if decode is None:
            # A block shown as written.
            if out:
                out.append(sep if sep else " " if spaced else "")
            out.append(piece)
            spaced = piece[-1] in _SPACE
            new_piece = True
            continue
        first = True
        for word in _WORDS.findall(piece):
            if out:
                if first and new_piece:
                    out.append(sep if sep else " " if spaced else "")
                else:
                    out.append(" ")
            out.append(word)
            first = spaced = new_piece = False
        if piece[-1] in _SPACE:
            spaced = True
        new_piece = True
    return "".join(out)


def _units(runs: Sequence[str], kept: Dict[int, int]) -> Iterator[Tuple[str, Optional[bool]]]:
    """_pieces, but the pieces of each block of `kept` runs joined into one,
    decoded, with None for `decode`."""
    block: List[str] = []
    current = None
    for event in read(runs):
        if event[0] != PIECE:
            continue
        number = event[1]
        piece = runs[number][event[2]:event[3]]
        which = kept.get(number)
        if which != current and block:
            yield "".join(block), None
            block = []
        current = which
        if which is None:
            yield piece, event[4]
        else:
            block.append(unescape(piece) if event[4] and "&" in piece else piece)
    if block:
        yield "".join(block), None
