"""Typed use of quillet: type checkers must accept this file as it is."""
from __future__ import annotations

from typing import TYPE_CHECKING, Iterator

import quillet

if TYPE_CHECKING:  # Element exists for type checkers only
    from quillet import Element


def elements(text: str) -> Iterator[Element]:
    """Every element in document order, walked with an explicit stack."""
    stack: list[str | Element] = list(reversed(quillet.parse(text) or []))
    while stack:
        node = stack.pop()
        if isinstance(node, str):
            continue
        yield node
        stack.extend(reversed(node["children"]))


def describe(element: Element) -> str:
    tag: str = element["tag"]
    ident: str = element["id"]
    style: str = element["style"]
    classes = element["classes"]
    names = classes if isinstance(classes, list) else [classes]
    closing = element["is_self_closing"]
    slash = "/" if closing is True else ""
    return f"<{tag}#{ident} {'.'.join(names)} {style}{slash}>"


def attribute(element: Element, name: str) -> str | None:
    value = element.get(name)
    return value if isinstance(value, str) else None


def text_runs(text: str) -> list[str]:
    tree: list[str | Element] | None = quillet.parse(input=text)
    return [node for node in tree or [] if isinstance(node, str)]


def main() -> None:
    page = '<p class="a b" title="t">Hi <a href="/x">x</a><br/></p>!'
    print([describe(e) for e in elements(page)])
    print([attribute(e, "href") for e in elements(page)])
    print(text_runs(page), quillet.parse("") is None, quillet.__all__)


if __name__ == "__main__":
    main()
