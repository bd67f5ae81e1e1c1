# Type information for the quillet extension module, installed beside it as
# the stub-only package quillet-stubs. A stub-only package needs no py.typed
# marker: the "-stubs" name is what type checkers look for (py.typed would
# only be needed to mark the stubs as partial, and these are complete).

from typing_extensions import TypeAlias, TypedDict

__all__ = ["parse"]

# An element as parse returns it. Keys always come in this order: the five
# fixed keys, then the element's other attributes as written, then
# "children".
#
# Why the types are what they are:
# - Every attribute other than id, class and style becomes a key holding its
#   str value, under the attribute's own name. PEP 728's extra_items=str says
#   exactly that. Type checkers that do not implement PEP 728 yet (mypy, at
#   the time of writing) see a plain TypedDict and give `object` for
#   element.get("href"); narrow it with isinstance(value, str). Reading an
#   attribute key by subscript (element["href"]) is only accepted by checkers
#   that implement PEP 728, so prefer .get(), which is also right when the
#   attribute is missing. Element and Node exist for type checkers only:
#   import them under `if typing.TYPE_CHECKING:`.
# - An attribute literally named "tag", "classes" or "is_self_closing"
#   replaces the fixed key of that name with its str value (an attribute
#   named "children" never shows). For "tag" that is still a str; for
#   "classes" and "is_self_closing" the honest types are therefore unions,
#   and code that needs the list or the bool narrows with isinstance.
class Element(TypedDict, extra_items=str):  # type: ignore[call-arg]  # for checkers without PEP 728
    tag: str
    id: str  # "" when the element has no id attribute
    classes: list[str] | str  # the class attribute split at every single space; [""] without one
    style: str  # "" when the element has no style attribute
    is_self_closing: bool | str
    children: list[str | Element]

# A node of the tree: a text run or an element.
Node: TypeAlias = str | Element

def parse(input: str) -> list[str | Element] | None:
    """The nodes of `input` in text order; None for the empty text.

    Text runs are strs; an element is a dict: tag, id, classes, style,
    is_self_closing, its other attributes as written, then children.
    Anything that is no well-formed element stays text. TypeError for
    input that is no str, UnicodeEncodeError for one with a lone surrogate.
    """
    ...
