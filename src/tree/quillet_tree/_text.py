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
character references decoded by html.unescape, and is then cut into words at
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
_WORDS = re.compile(r"[^ \t\n\f\r]+")
_SPACE = frozenset(" \t\n\f\r")

# States of the reader between runs.
_TEXT, _COMMENT, _CDATA, _HIDDEN_CONTENT = range(4)


def _pieces(runs: Iterable[str]) -> Iterator[Tuple[str, bool]]:
    """(piece, decode) for the visible pieces of `runs`, in order: decode is
    False for the content of a CDATA section."""
    state, end_tag = _TEXT, None
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
                assert end_tag is not None
                found = end_tag.search(run, pos)
                # Without its end tag in the run, the content ends with the
                # run: parse read the rest as elements, which may well hold
                # the end tag (a script writing markup), so the end tag is
                # not waited for.
                state = _TEXT
                if not found:
                    break
                pos = found.end()
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
                        end_tag = re.compile(rf"</{name}(?:[\t\n\f\r /][^>]*)?>", re.IGNORECASE)
                        state = _HIDDEN_CONTENT


def visible_text(runs: Iterable[str], sep: str) -> str:
    out: List[str] = []
    # Whether whitespace lay between the last word and what comes next, and
    # whether a piece has ended since that word.
    spaced = new_piece = False
    for piece, decode in _pieces(runs):
        if decode and "&" in piece:
            piece = html.unescape(piece)
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
