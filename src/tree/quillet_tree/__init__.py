"""Helpers for the trees quillet.parse returns: walking, finding elements,
text, writing back as markup, and depth-safe equality, copying and JSON.

Every function works at any depth: none of them recurses, so a tree nested a
million levels deep is walked, copied, compared and dumped like any other.
The work on whole trees is done in C++ (quillet_tree._native).
"""
from __future__ import annotations

import threading
from typing import (TYPE_CHECKING, Any, Collection, Dict, FrozenSet, Iterator, List, Optional,
                    Tuple, TypeVar, Union, cast)

import quillet
from quillet_tree import _native, _selectors, _text
from quillet_tree._encoding import decode, parse_file
from quillet_tree._selectors import SelectorError
from quillet_tree._source import REASONS, Rejection, Source

# The fixed keys of an element, defined once for every module of quillet.
_TAG, _ID, _CLASSES, _STYLE, _IS_SELF_CLOSING, _CHILDREN = _native.ELEMENT_KEYS

if TYPE_CHECKING:
    from typing_extensions import TypeAlias

    from quillet import Element, Node

    # What the functions take: one node, a list of nodes (a tree, or an
    # element's children), or None (what parse returns for the empty text).
    Nodes: TypeAlias = Union[Node, List[Node], None]

__all__ = ["decode", "parse_file", "walk", "elements", "text", "unescape_attributes",
           "to_markup", "equal", "copy", "to_json", "from_json", "picklable", "select",
           "select_one", "drop", "compile", "Selector", "SelectorError", "Source", "Rejection",
           "REASONS"]

__version__: str = _native.__version__

_T = TypeVar("_T")


def walk(tree: Nodes) -> Iterator[Tuple[int, Node]]:
    """Yields (depth, node) for every node in document order.

    `tree` is a list of nodes (what parse returned, or an element's children;
    their depth is 0), a single node (itself at depth 0, then what it holds),
    or None (nothing). A node is a str (a text run) or a dict (an element).
    An element's children follow it at depth + 1; an element without
    "children" has none. Changing an element's children before the walk
    reaches them changes what is walked. Raises TypeError for children that
    are no list and ValueError for a list met again inside itself.
    """
    if tree is None:
        return
    _check_tree(tree, "walk")
    if not isinstance(tree, list):
        yield 0, tree
        if not isinstance(tree, dict):
            return
        tree = _children(tree)
        base = 1
    else:
        base = 0
    # The lists on the current path, held so that their ids stay theirs.
    path = [tree]
    on_path = {id(tree)}
    stack = [iter(tree)]
    while stack:
        for node in stack[-1]:
            yield base + len(stack) - 1, node
            if isinstance(node, dict):
                children = node.get(_CHILDREN)
                if type(children) is not list:
                    children = _children(node)
                if children:
                    if id(children) in on_path:
                        raise ValueError("walk(): the tree holds itself (a list inside itself)")
                    path.append(children)
                    on_path.add(id(children))
                    stack.append(iter(children))
                    break
        else:
            stack.pop()
            on_path.discard(id(path.pop()))


def _check_tree(tree: object, who: str) -> None:
    if not isinstance(tree, (list, dict, str)):
        raise TypeError(f"{who}() takes tree as a list of nodes, a node (a str or a dict) or "
                        f"None, not {type(tree).__name__}")


def _children(element: Element) -> List[Node]:
    children = element.get(_CHILDREN, _NO_CHILDREN)
    if not isinstance(children, list):
        raise TypeError(f"an element's children are a list, not {type(children).__name__}")
    return children


_NO_CHILDREN: List[Node] = []


def elements(tree: Nodes, tag: Union[str, Collection[str], None] = None, id: Optional[str] = None,
             cls: Optional[str] = None, **attributes: Union[str, bool]) -> Iterator[Element]:
    """Yields the elements of `tree` (see walk) that match every filter given.

    tag: a name, or a collection of names (`("h1", "h2")`). id: the id. cls:
    one of the element's classes (an element whose "classes" an attribute of
    that name replaced with a str matches none). Each other keyword names an
    attribute: a str value must equal it, True asks only that the element has
    it (`href=True`). Attributes whose names are no Python identifiers go in
    by unpacking: `**{"data-id": "7"}`. An element without a key a filter
    reads does not match it.
    """
    if tree is not None:
        _check_tree(tree, "elements")
    tags = None if tag is None else _names(tag, "elements", "tag")
    for argument, given in (("id", id), ("cls", cls)):
        if given is not None and not isinstance(given, str):
            raise TypeError(f"elements() takes {argument} as a str, not {type(given).__name__}")
    wanted = list(attributes.items())
    for name, value in wanted:
        if not isinstance(value, (str, bool)):
            raise TypeError(f"elements() takes {name}= as a str or True, not "
                            f"{type(value).__name__}")
    return _elements(tree, tags, id, cls, wanted)


def _elements(tree: Nodes, tags: Optional[FrozenSet[str]], id: Optional[str],
              cls: Optional[str], wanted: List[Tuple[str, Union[str, bool]]]) -> Iterator[Element]:
    for _, node in walk(tree):
        if not isinstance(node, dict):
            continue
        if tags is not None:
            found = node.get(_TAG)
            if not isinstance(found, str) or found not in tags:
                continue
        if id is not None and node.get(_ID) != id:
            continue
        if cls is not None:
            classes = node.get(_CLASSES)
            if not isinstance(classes, list) or cls not in classes:
                continue
        if wanted and not all(_has(node, key, value) for key, value in wanted):
            continue
        yield node


def _has(node: Element, key: str, value: Union[str, bool]) -> bool:
    found = node.get(key)
    if value is True:
        return isinstance(found, str)
    return found == value


def text(tree: Nodes, sep: Optional[str] = None, *, unescape: bool = False,
         skip: Union[str, Collection[str]] = (), visible: bool = False) -> str:
    """The text runs of `tree` (see walk) joined with `sep`, in document order.

    unescape=True decodes character references (`&amp;`, `&#233;`) in each
    run with html.unescape. skip: a tag, or a collection of tags, whose
    elements are left out with all they hold, such as ("script", "style").
    Whitespace that parse dropped before an element is not restored: see the
    README. `sep` defaults to "".

    visible=True gives the text a reader of the page sees: the content of
    script, style and template elements, comments, the doctype, processing
    instructions, CDATA markers and tags kept as text are left out, character
    references are decoded and whitespace is collapsed. The words of two
    pieces of text are joined by `sep`, here " " by default (docs/tree.md
    gives the exact rule).
    """
    if sep is None:
        sep = " " if visible else ""
    elif not isinstance(sep, str):
        raise TypeError(f"text() takes sep as a str, not {type(sep).__name__}")
    names = _names(skip, "text", "skip")
    if visible:
        return _text.visible_text(_native.text_runs(tree, names | _text.HIDDEN), sep)
    runs = _native.text_runs(tree, names or None)
    if unescape:
        runs = [_text.unescape(run) for run in runs]
    return sep.join(runs)


def _names(tags: Union[str, Collection[str]], who: str, argument: str) -> FrozenSet[str]:
    """`tags` as a set: a str is one tag."""
    if isinstance(tags, str):
        return frozenset((tags,))
    names: Optional[FrozenSet[str]]
    try:
        names = frozenset(tags)
    except TypeError:
        names = None
    # A loop, not all() over a generator: making a generator fails badly on
    # some interpreters when memory runs out.
    for name in names or ():
        if not isinstance(name, str):
            names = None
            break
    if names is None:
        raise TypeError(f"{who}() takes {argument} as a tag or a collection of tags (strs), not "
                        f"{type(tags).__name__}")
    return names


def unescape_attributes(element: Element, /) -> Element:
    """A copy of `element` whose values have their character references
    decoded by html.unescape: every attribute, "id", "style" and each of
    "classes". "tag" and "children" (the same list) are as they were; a
    value that is no str is kept as it is. `element` itself is not changed.
    """
    if not isinstance(element, dict):
        raise TypeError(f"unescape_attributes() takes an element (a dict), not "
                        f"{type(element).__name__}")
    out: Dict[str, Any] = dict(element)
    for key, value in list(out.items()):
        if key == _TAG or key == _CHILDREN:
            continue
        if isinstance(value, str):
            if "&" in value:
                out[key] = _text.unescape(value)
        elif key == _CLASSES and isinstance(value, list):
            out[key] = [_text.unescape(name) if isinstance(name, str) else name for name in value]
    return cast("Element", out)


def to_markup(tree: Nodes, /) -> str:
    """Markup that quillet.parse reads back as `tree`.

    Elements are written as <tag k="v">children</tag>, or <tag k="v"/> when
    is_self_closing is True; text runs as they are. The markup is read back
    before it is returned: a tree that no markup gives (two text runs side
    by side, a text run holding a close tag of its element, a value whose
    '>' ends its tag, ...) raises ValueError naming the first node that
    would come back otherwise. TypeError for a value of the wrong type.
    """
    markup: str = _native.to_markup(tree)
    try:
        back = quillet.parse(markup) or []
    except BaseException as exc:
        # parse reports a failed allocation as its internal failure, caused
        # by the MemoryError; here it is just that.
        if isinstance(exc.__cause__, MemoryError) and type(exc).__name__ == "PanicException":
            raise MemoryError from None
        raise
    expected = tree if isinstance(tree, list) else [] if tree is None else [tree]
    if not _native.equal(back, expected):
        # Elements made by hand may leave out fixed keys, which then read
        # back with their defaults; anything else is a misreading.
        why = _misread(expected, back)
        if why:
            raise ValueError(why)
    return markup


# What an element without the key reads back as.
_DEFAULTS = {_ID: "", _CLASSES: [""], _STYLE: "", _IS_SELF_CLOSING: False}


def _misread(expected: List[Node], back: List[Node]) -> Optional[str]:
    """Why `back` (what the markup reads as) differs from `expected`: the
    first node, in document order, that does not come back as it was; None
    when they differ only in fixed keys left out of `expected`."""
    ours, theirs = walk(expected), walk(back)
    for mine in ours:
        other = next(theirs, None)
        if other is None or mine[0] != other[0] or _shallow(mine[1]) != _shallow(other[1]):
            node = _describe(mine[1])
            if other is None:
                return f"cannot write {node} as markup: it does not come back"
            return f"cannot write {node} as markup: it reads back as {_describe(other[1])}"
    extra = next(theirs, None)
    if extra is not None:
        return f"cannot write the tree as markup: it reads back with {_describe(extra[1])} added"
    return None


def _shallow(node: object) -> object:
    """An element without its children and with its missing fixed keys
    filled in; anything else as it is. (A module-level function: making a
    closure fails badly on some interpreters when memory runs out.)"""
    if isinstance(node, dict):
        full = dict(_DEFAULTS)
        full.update(node)
        full.pop(_CHILDREN, None)
        return full
    return node


def _describe(node: object) -> str:
    if type(node) is dict:
        return f"the element {node.get(_TAG)!r}"
    text = repr(node)
    return f"the text run {text[:60]}{'...' if len(text) > 60 else ''}"


if TYPE_CHECKING:
    def equal(a: object, b: object, /) -> bool:
        """`a == b`, at any depth."""

    def copy(tree: _T, /) -> _T:
        """A deep copy, as copy.deepcopy makes it, at any depth."""
else:
    # The C functions themselves: no Python call in between, which counts on
    # small trees. Their docstrings are in src/tree/module.cpp.
    equal = _native.equal
    copy = _native.copy


def to_json(tree: object, *, ensure_ascii: bool = True) -> str:
    """The JSON text json.dumps(tree, ensure_ascii=...) writes, at any depth.

    Takes dict, list, tuple, str, int, float, bool and None, as json.dumps
    does; raises TypeError for other objects and ValueError for a container
    that holds itself.
    """
    return _native.to_json(tree, ensure_ascii)


def from_json(text: Union[str, bytes, bytearray], /) -> Any:
    """The object json.loads(text) returns, at any depth.

    Takes a str, or bytes or a bytearray in UTF-8, UTF-16 or UTF-32, as
    json.loads does. Raises json.JSONDecodeError for text that is not JSON.
    """
    if isinstance(text, (bytes, bytearray)):
        import json  # here, not at the top: the command line starts faster without it

        text = text.decode(json.detect_encoding(text), "surrogatepass")
    elif not isinstance(text, str):
        raise TypeError(f"from_json() takes text as a str, bytes or bytearray, not "
                        f"{type(text).__name__}")
    return _native.from_json(text)


class picklable:
    """Wraps a tree so that pickle sends it at any depth.

    pickle walks lists and dicts recursively and fails on deep trees; this
    wrapper pickles as the tree's JSON and unpickles as the plain tree again
    (not as a picklable). Return `picklable(tree)` from a worker process and
    the parent receives the tree.
    """

    __slots__ = ("tree",)

    def __init__(self, tree: object) -> None:
        self.tree = tree

    def __reduce__(self) -> Tuple[Any, Tuple[str]]:
        return from_json, (to_json(self.tree, ensure_ascii=False),)


class Selector:
    """A CSS selector, read once, to match against any number of trees.

    Made by compile(pattern). Raises SelectorError (a ValueError) for a
    pattern that is not a valid selector.
    """

    __slots__ = ("pattern", "_program")

    def __init__(self, pattern: str) -> None:
        if not isinstance(pattern, str):
            raise TypeError(f"a selector is a str, not {type(pattern).__name__}")
        self.pattern = pattern
        self._program = _native.compile_selector(_selectors.parse(pattern))

    def __repr__(self) -> str:
        return f"quillet_tree.compile({self.pattern!r})"

    def select(self, tree: Nodes) -> List[Element]:
        """The elements of `tree` that match, in document order, each once."""
        found: List[Element] = _native.select(tree, self._program, False)
        return found

    def select_one(self, tree: Nodes) -> Optional[Element]:
        """The first element of `tree` that matches, or None."""
        found: Optional[Element] = _native.select(tree, self._program, True)
        return found

    def drop(self, tree: _T) -> _T:
        """A new tree without the elements that match (see quillet_tree.drop)."""
        out: Any = _native.drop(tree, self._program)
        if not isinstance(tree, list):
            out = out[0] if out else None
        return out  # type: ignore[no-any-return]


# Selectors given as strs, read once: the most recent few hundred. Threads
# share it; the lock keeps its size bounded (a selector is read outside it,
# so two threads may both read a new one: either is right).
_CACHE: Dict[str, Selector] = {}
_CACHE_LOCK = threading.Lock()


def _compiled(pattern: str) -> Selector:
    selector = _CACHE.get(pattern)
    if selector is None:
        selector = Selector(pattern)
        with _CACHE_LOCK:
            if len(_CACHE) >= 256:
                _CACHE.clear()
            _CACHE[pattern] = selector
    return selector


def compile(pattern: str, /) -> Selector:
    """The selector `pattern`, read once: a Selector, whose select,
    select_one and drop methods match it against trees. Raises SelectorError
    (a ValueError) for a pattern that is not a valid selector."""
    if not isinstance(pattern, str):
        raise TypeError(f"compile() takes a selector as a str, not {type(pattern).__name__}")
    return _compiled(pattern)


def _selector(selector: Union[str, Selector], who: str) -> Selector:
    if isinstance(selector, Selector):
        return selector
    if isinstance(selector, str):
        return _compiled(selector)
    raise TypeError(f"{who}() takes a selector as a str or a Selector, not "
                    f"{type(selector).__name__}")


def select(tree: Nodes, selector: Union[str, Selector]) -> List[Element]:
    """The elements of `tree` that match the CSS selector, in document order,
    each once.

    `tree` is what parse returned, an element's children, or one element
    (matched itself, as the top-level element, and what it holds). The
    selector is a str (read once and cached) or a Selector from compile().
    Raises SelectorError (a ValueError) for a selector that is not valid,
    TypeError for a tree of the wrong types and ValueError for a list inside
    itself. See docs/tree.md for how an element answers each selector.
    """
    return _selector(selector, "select").select(tree)


def select_one(tree: Nodes, selector: Union[str, Selector]) -> Optional[Element]:
    """The first element of `tree` that matches the CSS selector, or None."""
    return _selector(selector, "select_one").select_one(tree)


def drop(tree: _T, selector: Union[str, Selector]) -> _T:
    """A new tree without the elements that match the CSS selector, nor
    anything they hold.

    The lists and element dicts are new (so are the "classes" lists); strs
    are shared. Text runs that meet where an element was taken out are
    joined into one, as parse would read the markup. A list gives a list;
    one element gives its copy, or None when it matches; None gives None.
    """
    return _selector(selector, "drop").drop(tree)
