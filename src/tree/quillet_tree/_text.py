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
from typing import Iterable, Iterator, List, Tuple

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


def _pieces(runs: Iterable[str]) -> Iterator[Tuple[str, bool]]:
    """(piece, decode) for the visible pieces of `runs`, in order: decode is
    False for the content of a CDATA section."""
    state, end_tag = _TEXT, ""
    for run in runs:
        pos, size, gt_left = 0, len(run), True
        if state == _HIDDEN_CONTENT:
            # The start tag ended its run: so did its content.
            state = _TEXT
        while pos < size:
            if state == _COMMENT:
                end = run.find("-->", pos)
                if end < 0:
                    break
                pos, state = end + 3, _TEXT
            elif state == _CDATA:
                end = run.find("]]>", pos)
                if end < 0:
                    yield run[pos:], False
                    break
                if end > pos:
                    yield run[pos:end], False
                pos, state = end + 3, _TEXT
            elif state == _HIDDEN_CONTENT:
                # Without its end tag in the run, the content ends with the
                # run: parse read the rest as elements, which may well hold
                # the end tag (a script writing markup), so the end tag is
                # not waited for.
                state = _TEXT
                pos = _end_tag_end(run, pos, end_tag)
                if pos < 0:
                    break
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
                    yield run[pos:], True
                    break
                if start > pos:
                    yield run[pos:start], True
                if mark == "<!--":
                    # "-->" may share the opening's dashes: <!--> and <!--->.
                    end = run.find("-->", start + 2)
                    if end < 0:
                        state = _COMMENT
                        break
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
                        end_tag, state = name, _HIDDEN_CONTENT


def _end_tag_end(run: str, pos: int, name: str) -> int:
    """Where the first end tag of `name` in `run` from `pos` ends (the
    position after its '>'), or -1 for none: "</name" in any case, then '>'
    at once, or whitespace or '/' and anything up to the first '>'.

    Only the first "</name" that whitespace, '/' or '>' follows can start
    it: the '>' it needs is the first after it, and when the run has none,
    no later "</name" has one either. So the run is read once, not once for
    each "</name" (by a pattern such as "</name(\\s[^>]*)?>", which reads
    up to the end of the run from each one).
    """
    found = _END_TAG_START[name].search(run, pos)
    if not found:
        return -1
    end = run.find(">", found.end())
    return end + 1 if end >= 0 else -1


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


def visible_text(runs: Iterable[str], sep: str) -> str:
    out: List[str] = []
    # Whether whitespace lay between the last word and what comes next, and
    # whether a piece has ended since that word.
    spaced = new_piece = False
    for piece, decode in _pieces(runs):
        if decode and "&" in piece:
            piece = unescape(piece)
        if not piece:
            continue
        if piece[0] in _SPACE:
            spaced = True
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
