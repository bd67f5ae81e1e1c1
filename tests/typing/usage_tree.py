"""Typed use of quillet_tree: type checkers must accept this file as it is."""
from __future__ import annotations

import io
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


def selected(tree: list[Node] | None) -> tuple[list[Element], Element | None, list[Node] | None]:
    links: qt.Selector = qt.compile("p > a[href]")
    pattern: str = links.pattern
    found: list[Element] = qt.select(tree, "a.nav") + links.select(tree) + qt.select(tree, links)
    first: Element | None = qt.select_one(tree, "h1, h2") or links.select_one(tree)
    kept: list[Node] | None = qt.drop(links.drop(tree), "script, style")
    try:
        qt.compile(pattern + " >")
    except qt.SelectorError as error:
        where: int = error.position
        text: str = error.pattern
        print(where, text)
    return found, first, kept


def from_bytes(data: bytes, path: str) -> tuple[str, list[Node] | None, str, str]:
    page: str = qt.decode(data) + qt.decode(bytearray(data), "windows-1252")
    tree = qt.parse_file(path) or qt.parse_file(io.BytesIO(data), encoding="utf-8")
    visible: str = qt.text(tree, visible=True) + qt.text(tree, "\n", skip="nav", visible=True)
    hrefs = [qt.unescape_attributes(a).get("href") for a in qt.select(tree, "a[href]")]
    print(hrefs, qt.from_json(data), qt.from_json(bytearray(b"[]")))
    return page, tree, visible, qt.__version__


def edited(text: str) -> tuple[str, str, list[tuple[int, int]], str]:
    source = qt.Source(text)
    cleaned: str = source.remove("script", qt.compile("style"), comments=True)
    upper: str = source.replace_content("b", content=str.upper)
    where: list[tuple[int, int]] = [source.location(e) for e in qt.select(source.tree, "p")]
    why: list[str] = [f"{r.line}:{r.column}: {r.markup} {r.reason}" for r in source.explain()]
    start, end = source.span(qt.select(source.tree, "p")[0])
    print(why, start + end, qt.REASONS[0], source.spans())
    return cleaned, upper, where, source.visible_text(sep="")


def main() -> None:
    tree = quillet.parse('<p class="post" id="post-1">a <a href="/x">x</a></p>')
    print(links(qt.to_markup(tree)), outline(tree), round_trip(tree), first_post(tree))
    print(qt.text(tree, skip={"script", "style"}), qt.__all__, selected(tree))
    print(edited('<p>a<b>b</b><script>x</script></p>'))


if __name__ == "__main__":
    main()
