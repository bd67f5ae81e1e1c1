"""Prints every link of a page (the bundled sample.html by default), one per line:
the target, a tab, and the link's text."""
import pathlib
import sys

import quillet
import quillet_tree


def links(text: str):
    """(href, text) of every <a> element that has an href attribute, in document order."""
    for element in quillet_tree.elements(quillet.parse(text), "a", href=True):
        yield element["href"], " ".join(quillet_tree.text(element, " ").split())


def main() -> None:
    default = pathlib.Path(__file__).with_name("sample.html")
    path = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else default
    for href, label in links(path.read_text(encoding="utf-8")):
        print(f"{href}\t{label}")


if __name__ == "__main__":
    main()
