"""Source: a text with its tree, and where in the text each element stands.

parse keeps no positions in its tree; Source parses once more cheaply
alongside and keeps, for every element, four offsets into the text: where its
start tag begins, where its content begins and ends, and where it ends
(after its end tag, or its self-closing tag). From them come line and column
numbers, edits of the text that leave every other character as it was, and
visible text that keeps the layout of pre blocks.

Offsets count characters of the str (code points), from 0. Lines count from
1 and end at LF, CR LF or CR; columns count characters from 1.
"""
from __future__ import annotations

import bisect
import re
from typing import (TYPE_CHECKING, Any, Callable, Dict, Iterator, List, NamedTuple, Optional,
                    Sequence, Tuple, Union, cast)

from quillet_tree import _native, _text

if TYPE_CHECKING:
    from quillet import Element, Node

    from quillet_tree import Selector

_TAG, _ID, _CLASSES, _STYLE, _IS_SELF_CLOSING, _CHILDREN = _native.ELEMENT_KEYS
_FIXED = frozenset(_native.ELEMENT_KEYS)
_BREAK = re.compile(r"\r\n?|\n")
# Elements whose text a browser shows with its whitespace as written.
KEEPS_WHITESPACE = frozenset({"pre", "textarea", "listing"})
# An attribute of a start tag kept as text, read as loosely as a browser
# reads it: a name, then perhaps "=" and a value in either quotes or none.
_LOOSE_ATTRIBUTE = re.compile(
    r"""([^\t\n\f\r />"'=][^\t\n\f\r />"'=]*)(?:[\t\n\f\r ]*=[\t\n\f\r ]*"""
    r"""(?:"([^"]*)"|'([^']*)'|([^\t\n\f\r >]*)))?""")
# The words of each reason explain() gives. (A "<" without a name after it
# is no tag-like text, so that reason is never given.)
REASONS: Tuple[str, ...] = tuple(reason for reason in _native.REASONS[2:])
# The longest markup a Rejection shows; longer is cut, with "..." after it.
_SHOWN = 80

Content = Union[str, Callable[[str], str]]


class Rejection(NamedTuple):
    """A tag-like text that stayed text: where it starts, its markup (cut at
    80 characters) and why it is no element (one of REASONS)."""
    offset: int
    line: int
    column: int
    markup: str
    reason: str


class _Target(NamedTuple):
    start: int
    end: int
    # What replace_content keeps around the new content: the characters
    # [start, head) and [tail, end) of an element; a comment is written
    # anew as "<!--", the content and `closing`.
    head: int
    tail: int
    closing: Optional[str] = None  # "-->", or "" for a comment that never ends; None: no comment


class _Runs(NamedTuple):
    """The text runs of a tree outside script, style and template elements,
    with where each starts in the text and where it stands in the tree (its
    parent element's number, -1 for the top, and its index there)."""
    runs: List[str]
    offsets: List[int]
    places: List[Tuple[int, int]]
    # Runs inside elements that keep their whitespace: run number -> the
    # number of the outermost such element.
    kept: Dict[int, int]


class Source:
    """A text, the tree quillet.parse(text) makes of it, and where in the
    text each element of that tree stands.

    `tree` is the parse tree, as quillet.parse returns it; the positions are
    those of its own element dicts, so read it, select from it, but copy it
    (quillet_tree.copy) before changing it: a method that finds the tree
    changed raises ValueError. Nothing a method returns is written from the
    tree: edits cut and replace ranges of `text`, and keep every other
    character.
    """

    __slots__ = ("text", "tree", "_packed", "_view", "_found", "_line_starts")

    def __init__(self, text: str) -> None:
        if not isinstance(text, str):
            raise TypeError(f"Source() takes a str, not {type(text).__name__}")
        if type(text) is not str:
            # The characters themselves, as an exact str: a subclass's own
            # methods (startswith, slicing, len) have no say in the offsets.
            text = str.__getitem__(text, slice(None))
        # Nothing the collector tracks is made between the parse and the
        # end of __init__: that would start a collection of the whole young
        # tree (see parse_source).
        tree, packed = _native.parse_source(text)
        self.text: str = text
        self.tree: Optional[List[Node]] = tree
        self._packed = packed
        self._view: Optional[memoryview] = None
        # The elements in document order, and each one's place by its id:
        # one pair, so that a thread never sees one without the other.
        self._found: Optional[Tuple[List[Element], Dict[int, int]]] = None
        self._line_starts: Optional[List[int]] = None

    @property
    def _spans(self) -> memoryview:
        """Four offsets per element, in document order (see the module)."""
        view = self._view
        if view is None:
            view = self._view = memoryview(self._packed).cast("I")
        return view

    def __repr__(self) -> str:
        return f"<quillet_tree.Source of {len(self.text)} characters, {len(self._spans) // 4} elements>"

    # Positions.

    def spans(self) -> List[Tuple[int, int]]:
        """(start, end) of every element, in document order (the order of
        quillet_tree.elements(tree)): its start tag begins at `start`, and
        its end tag, or its self-closing tag, ends just before `end`."""
        s = self._spans
        return list(zip(s[0::4], s[3::4]))

    def span(self, element: Element) -> Tuple[int, int]:
        """(start, end) of `element`, one of the tree's own elements: the
        text of its markup is text[start:end]."""
        i = 4 * self._number(element, "span")
        return self._spans[i], self._spans[i + 3]

    def content_span(self, element: Element) -> Tuple[int, int]:
        """(start, end) of what lies between the element's tags: the empty
        range at its end for a self-closing element."""
        i = 4 * self._number(element, "content_span")
        return self._spans[i + 1], self._spans[i + 2]

    def location(self, where: Union[int, Element]) -> Tuple[int, int]:
        """(line, column) of an offset into the text, or of an element's
        start tag. Both count from 1; lines end at LF, CR LF or CR."""
        if isinstance(where, dict):
            offset = self._spans[4 * self._number(where, "location")]
        elif isinstance(where, int) and not isinstance(where, bool):
            if not 0 <= where <= len(self.text):
                raise ValueError(f"location(): offset {where} lies outside the text "
                                 f"(0 to {len(self.text)})")
            offset = where
        else:
            raise TypeError(f"location() takes an offset (an int) or an element (a dict), not "
                            f"{type(where).__name__}")
        starts = self._line_starts
        if starts is None:
            starts = [0]
            starts.extend(found.end() for found in _BREAK.finditer(self.text))
            self._line_starts = starts
        line = bisect.bisect_right(starts, offset)
        return line, offset - starts[line - 1] + 1

    def _index(self, who: str) -> Tuple[List[Element], Dict[int, int]]:
        """The tree's elements in document order, and each one's place by
        its id, found once."""
        found = self._found
        if found is None:
            from quillet_tree import compile

            elements = compile("*").select(self.tree)
            if 4 * len(elements) != len(self._spans):
                raise _changed(who)
            found = self._found = (elements, {id(e): i for i, e in enumerate(elements)})
        return found

    def _number(self, element: object, who: str) -> int:
        """The element's place in document order."""
        elements, numbers = self._index(who)
        i = numbers.get(id(element))
        if i is None or elements[i] is not element:
            if not isinstance(element, dict):
                raise TypeError(f"{who}() takes an element (a dict), not {type(element).__name__}")
            raise ValueError(f"{who}(): the element is not one of this source's tree (select it "
                             f"from source.tree)")
        return i

    # Edits.

    def remove(self, *selectors: Union[str, Selector], comments: bool = False) -> str:
        """The text without the elements that match any of the selectors,
        nor, with comments=True, its comments: each cut out with all it
        holds, every other character kept.

        A script, style or template start tag that stayed text is cut with
        what follows it up to its end tag (in the same text run: the rule
        of quillet_tree.text(visible=True)) when a selector matches it as an
        element of that name, with the attributes the tag carries, standing
        where it stands. A comment runs from "<!--" to the first "-->" of
        the text runs after it, or to the end of the text.
        """
        return self._edit(selectors, comments, None, "remove")

    def replace_content(self, *selectors: Union[str, Selector], content: Content,
                        comments: bool = False) -> str:
        """The text with the content of the elements that match any of the
        selectors (and, with comments=True, of its comments) replaced by
        `content`: a str, or a function given the old content (the text
        between the tags, as written) that returns the new one. Tags are
        kept as written. Within a replaced element nothing else is
        replaced. ValueError for a self-closing element, which has no
        content to replace.
        """
        if not (isinstance(content, str) or callable(content)):
            raise TypeError(f"replace_content() takes content as a str or a function, not "
                            f"{type(content).__name__}")
        return self._edit(selectors, comments, content, "replace_content")

    def _edit(self, selectors: Sequence[Union[str, Selector]], comments: bool,
              content: Optional[Content], who: str) -> str:
        compiled = [_compiled(selector, who) for selector in selectors]
        targets: List[_Target] = []
        runs = self._runs(who) if comments or compiled else None
        hidden: List[Tuple[Any, ...]] = []
        if runs is not None:
            for event in _text.read(runs.runs):
                if event[0] == _text.COMMENT and comments:
                    targets.append(self._comment(runs, event))
                elif event[0] == _text.HIDDEN_TAG and compiled:
                    hidden.append(event)
        if compiled:
            targets.extend(self._matches(compiled, runs, hidden, who))
        text = self.text
        if content is not None:
            for target in targets:
                if target.head == target.tail == target.end and target.closing is None:
                    raise ValueError(f"replace_content(): the self-closing element at "
                                     f"{self._where(target.start)} has no content to replace")
        targets.sort(key=lambda target: (target.start, target.end))
        out: List[str] = []
        done = 0
        for target in targets:
            if content is None:
                # Removal: overlapping ranges are cut as one.
                if target.start > done:
                    out.append(text[done:target.start])
                done = max(done, target.end)
                continue
            if target.start < done:
                continue  # inside a range replaced already
            out.append(text[done:target.start])
            old = text[target.head:target.tail]
            new = content if isinstance(content, str) else content(old)
            if not isinstance(new, str):
                raise TypeError(f"replace_content(): content() returned "
                                f"{type(new).__name__}, not a str")
            if target.closing is not None:
                out.append("<!--" + new + target.closing)
            else:
                out.append(text[target.start:target.head] + new + text[target.tail:target.end])
            done = target.end
        out.append(text[done:])
        return "".join(out)

    def _where(self, offset: int) -> str:
        line, column = self.location(offset)
        return f"line {line}, column {column}"

    def _comment(self, runs: _Runs, event: Tuple[Any, ...]) -> _Target:
        _, run, start, end_run, end = event
        begin = runs.offsets[run] + start
        finish = len(self.text) if end_run is None else runs.offsets[end_run] + end
        terminated = end_run is not None
        # "<!-->" and "<!--->" hold nothing; others hold what lies between
        # "<!--" and "-->".
        head = min(begin + 4, finish)
        tail = max(head, finish - 3) if terminated else finish
        return _Target(begin, finish, head, tail, "-->" if terminated else "")

    def _element_target(self, element: Element, who: str) -> _Target:
        return _span_target(self._spans, self._number(element, who))

    def _matches(self, compiled: List[Selector], runs: Optional[_Runs],
                 hidden: List[Tuple[Any, ...]], who: str) -> Iterator[_Target]:
        """The targets of the elements that match, and of the hidden start
        tags kept as text that match as elements."""
        s = self._spans
        if not hidden:
            for selector in compiled:
                for element in selector.select(self.tree):
                    yield self._element_target(element, who)
            return
        # The tags kept as text become elements of a copy of the tree, each
        # where its text stands, so that selectors see them in their place.
        assert runs is not None
        from quillet_tree import compile, copy

        # (Hidden start tags stand in text runs: the tree is a list.)
        tree: List[Node] = copy(self.tree or [])
        elements = compile("*").select(tree)
        if 4 * len(elements) != len(s):
            raise _changed(who)
        numbers = {id(element): i for i, element in enumerate(elements)}
        stand_ins: Dict[int, _Target] = {}
        by_run: Dict[int, List[Tuple[Any, ...]]] = {}
        for event in hidden:
            by_run.setdefault(event[1], []).append(event)
        # Later runs of a list first, so that the indexes of earlier ones hold.
        for run in sorted(by_run, key=lambda r: runs.places[r], reverse=True):
            parent, index = runs.places[run]
            children = tree if parent < 0 else elements[parent][_CHILDREN]
            text, base = runs.runs[run], runs.offsets[run]
            nodes: List[Node] = []
            at = 0
            for _, _, start, content_start, content_end, end, name in by_run[run]:
                if start > at:
                    nodes.append(text[at:start])
                stand_in = _stand_in(name, text[start:content_start], text[content_start:content_end])
                stand_ins[id(stand_in)] = _Target(base + start, base + end, base + content_start,
                                                  base + content_end)
                nodes.append(cast("Element", stand_in))
                at = end
            if at < len(text):
                nodes.append(text[at:])
            children[index:index + 1] = nodes
        for selector in compiled:
            for element in selector.select(tree):
                target = stand_ins.get(id(element))
                if target is None:
                    target = _span_target(s, numbers[id(element)])
                yield target

    def _runs(self, who: str) -> _Runs:
        """The text runs outside script, style and template elements, with
        their places (see _Runs), checking that the tree is the one parsed."""
        text, s = self.text, self._spans
        out = _Runs([], [], [], {})
        count = 0  # elements met, in document order
        # Frames: [children, next index, offset, parent number, hidden, kept].
        stack: List[List[Any]] = [[self.tree or [], 0, 0, -1, False, -1]]
        while stack:
            frame = stack[-1]
            children, index, offset, parent, hidden, kept = frame
            if index >= len(children):
                stack.pop()
                continue
            frame[1] = index + 1
            node = children[index]
            if type(node) is str:
                if not text.startswith(node, offset):
                    raise _changed(who)
                if not hidden:
                    if kept >= 0:
                        out.kept[len(out.runs)] = kept
                    out.runs.append(node)
                    out.offsets.append(offset)
                    out.places.append((parent, index))
                frame[2] = offset + len(node)
                continue
            if type(node) is not dict or 4 * count >= len(s):
                raise _changed(who)
            number, i = count, 4 * count
            count += 1
            if s[i] < offset:
                raise _changed(who)
            frame[2] = s[i + 3]
            tag = node.get(_TAG)
            if type(tag) is not str:
                raise _changed(who)
            inner = node.get(_CHILDREN)
            if inner:
                if type(inner) is not list:
                    raise _changed(who)
                keeps = kept < 0 and tag in KEEPS_WHITESPACE
                stack.append([inner, 0, s[i + 1], number, hidden or tag in _text.HIDDEN,
                              number if keeps else kept])
        if 4 * count != len(s):
            raise _changed(who)
        return out

    # Text.

    def visible_text(self, element: Optional[Element] = None, sep: str = " ") -> str:
        """quillet_tree.text(element, sep, visible=True), but inside pre,
        textarea and listing elements the text is taken from between the
        tags in the text, whitespace as written: line breaks and the
        indentation that parse drops before an element come back. The text
        of such an element, its character references decoded, joins what
        stands around it as one piece. A line break right after the start
        tag is left out, as browsers do. Without `element`, the whole
        tree's."""
        if not isinstance(sep, str):
            raise TypeError(f"visible_text() takes sep as a str, not {type(sep).__name__}")
        runs = self._runs("visible_text")
        texts, kept = runs.runs, runs.kept
        if element is not None:
            start, end = self.span(element)
            first = bisect.bisect_left(runs.offsets, start)
            last = bisect.bisect_left(runs.offsets, end)
            texts = texts[first:last]
            kept = {number - first: block for number, block in kept.items() if first <= number < last}
        if not kept:
            return _text.visible_text(texts, sep)
        # Each kept block's runs: the characters between its tags in the
        # text, whitespace that parse dropped included.
        texts, kept = self._with_layout(texts, kept, (0, len(self.text)) if element is None
                                        else self.content_span(element))
        return _text.visible_text(texts, sep, kept)

    def _with_layout(self, texts: List[str], kept: Dict[int, int],
                     clip: Tuple[int, int]) -> Tuple[List[str], Dict[int, int]]:
        """`texts` with the runs of each kept block replaced by the stretches
        of text between the tags inside it, in order, within `clip` (the
        content of the element whose text is asked for)."""
        s, text = self._spans, self.text
        out: List[str] = []
        out_kept: Dict[int, int] = {}
        number = 0
        while number < len(texts):
            block = kept.get(number)
            if block is None:
                out.append(texts[number])
                number += 1
                continue
            while number < len(texts) and kept.get(number) == block:
                number += 1
            i = 4 * block
            content_start, content_end = s[i + 1], s[i + 2]
            if content_start >= clip[0]:
                if text.startswith("\r\n", content_start):
                    content_start += 2
                elif text.startswith(("\n", "\r"), content_start):
                    content_start += 1
            content_start, content_end = max(content_start, clip[0]), min(content_end, clip[1])
            for piece in self._between_tags(block, content_start, content_end):
                out_kept[len(out)] = block
                out.append(piece)
        return out, out_kept

    def _between_tags(self, block: int, start: int, end: int) -> Iterator[str]:
        """The stretches of text[start:end] outside the tags of the elements
        inside element number `block`, and outside script, style and
        template elements with all they hold."""
        s, text = self._spans, self.text
        elements = self._index("visible_text")[0]
        cuts: List[Tuple[int, int]] = []
        hidden_end = -1
        i = 4 * (block + 1)
        while i < len(s) and s[i] < end:
            if s[i] >= hidden_end:
                if elements[i // 4].get(_TAG) in _text.HIDDEN:
                    hidden_end = s[i + 3]
                    cuts.append((s[i], s[i + 3]))
                else:
                    cuts.append((s[i], s[i + 1]))
                    if s[i + 2] < s[i + 3]:
                        cuts.append((s[i + 2], s[i + 3]))
            i += 4
        cuts.sort()
        at = start
        for cut_start, cut_end in cuts:
            if cut_start > at:
                yield text[at:cut_start]
            at = max(at, cut_end)
        if end > at:
            yield text[at:end]

    # Why markup stayed text.

    def explain(self) -> List[Rejection]:
        """Every tag-like text ("<" or "</" and a letter) that stayed text,
        in text order, with why parse read no element there. Texts inside a
        comment or a declaration are left out; one inside another tag-like
        text is "inside another tag"."""
        text = self.text
        rows = []
        for start, close, reason in _native.explain(text):
            end = close + 1 if close >= 0 else min(len(text), start + _SHOWN)
            markup = text[start:min(end, start + _SHOWN)]
            if end - start > _SHOWN:
                markup += "..."
            line, column = self.location(start)
            rows.append(Rejection(start, line, column, markup, _native.REASONS[reason]))
        return rows


def _span_target(spans: memoryview, number: int) -> _Target:
    """The target of element number `number`, from its four offsets."""
    i = 4 * number
    return _Target(spans[i], spans[i + 3], spans[i + 1], spans[i + 2])


def _changed(who: str) -> ValueError:
    return ValueError(f"{who}(): the source's tree was changed since it was parsed (copy it "
                      f"before changing it)")


def _compiled(selector: object, who: str) -> Selector:
    from quillet_tree import Selector, compile

    if isinstance(selector, Selector):
        return selector
    if isinstance(selector, str):
        return compile(selector)
    raise TypeError(f"{who}() takes selectors as strs or Selectors, not {type(selector).__name__}")


def _stand_in(name: str, start_tag: str, content: str) -> Dict[str, Any]:
    """An element for a start tag kept as text: its name, the attributes
    its tag carries as a browser reads them, and its content as its text."""
    element: Dict[str, Any] = {_TAG: name, _ID: "", _CLASSES: [""], _STYLE: "",
                               _IS_SELF_CLOSING: False}
    head = start_tag[1 + len(name):].rstrip(">")
    for found in _LOOSE_ATTRIBUTE.finditer(head):
        key = found.group(1).lower()
        value = next((v for v in found.groups()[1:] if v is not None), "")
        if key == "id":
            element[_ID] = value
        elif key == "class":
            element[_CLASSES] = value.split(" ")
        elif key == "style":
            element[_STYLE] = value
        elif key not in _FIXED and key not in element:
            element[key] = value
    element[_CHILDREN] = [content] if content else []
    return element
