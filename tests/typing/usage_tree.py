"""Typed use of quillet_tree: type checkers must accept this file as it is."""
from __future__ import annotations

import pickle
from typing import TYPE_CHECKING, Any

import quillet
import quillet_tree as qt

if TYPE_CHECKING:
    from quillet import Element, Node


def links(page: str) -> list[tuple[str, str]]:
    found: list[tuple[str, str]] = []
    for element in qt.elements(quillet.parse(page), "a", href=True):
        href = element.get("href")
        if isinstance(href, str):
            found.append((href, " ".join(qt.text(element, " ", unescape=True).split())))
    return found


def outline(tree: list[Node] | None) -> list[str]:
    lines: list[str] = []
    for depth, node in qt.walk(tree):
        if not isinstance(node, str):
            lines.append("  " * depth + node["tag"])
    return lines


def round_trip(tree: list[Node] | None) -> bool:
    copied: list[Node] | None = qt.copy(tree)
    back: Any = qt.from_json(qt.to_json(copied, ensure_ascii=False))
    wire = pickle.dumps(qt.picklable(tree))
    return qt.equal(back, tree) and qt.equal(pickle.loads(wire), tree)


def first_post(tree: list[Node] | None) -> Element | None:
    return next(qt.elements(tree, ("article", "section"), id="post-1", cls="post"), None)


def main() -> None:
    tree = quillet.parse('<p class="post" id="post-1">a <a href="/x">x</a></p>')
    print(links(qt.to_markup(tree)), outline(tree), round_trip(tree), first_post(tree))
    print(qt.text(tree, skip={"script", "style"}), qt.__all__)


if __name__ == "__main__":
    main()
