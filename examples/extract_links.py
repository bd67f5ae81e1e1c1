"""Prints every link of a page (the bundled sample.html by default), one per line:
the target, a tab, and the link's visible text. The file is read as bytes and
decoded in the encoding its bytes show; character references such as `&amp;`
in the target are decoded, so each line holds the URL the link goes to."""
import pathlib
import sys

import quillet_tree


def links(path):
    """(href, text) of every <a> element that has an href attribute, in document order."""
    for element in quillet_tree.select(quillet_tree.parse_file(path), "a[href]"):
        yield quillet_tree.unescape_attributes(element)["href"], quillet_tree.text(element, visible=True)


def main() -> None:
    default = pathlib.Path(__file__).with_name("sample.html")
    for href, label in links(sys.argv[1] if len(sys.argv) > 1 else default):
        print(f"{href}\t{label}")


if __name__ == "__main__":
    main()
