"""Prints the elements of a page that list a given class.

Usage: python find_by_class.py CLASS [FILE]   (FILE defaults to the bundled sample.html)
Each match is printed as its tag, its id (when it has one) and its text.
"""
import pathlib
import sys

import quillet
import quillet_tree


def by_class(text: str, name: str):
    """Every element whose class attribute lists `name`, in document order."""
    return quillet_tree.elements(quillet.parse(text), cls=name)


def main() -> None:
    if len(sys.argv) < 2:
        sys.exit("usage: find_by_class.py CLASS [FILE]")
    default = pathlib.Path(__file__).with_name("sample.html")
    path = pathlib.Path(sys.argv[2]) if len(sys.argv) > 2 else default
    for element in by_class(path.read_text(encoding="utf-8"), sys.argv[1]):
        ident = f"#{element['id']}" if element["id"] else ""
        print(f"<{element['tag']}{ident}> {' '.join(quillet_tree.text(element, ' ').split())}")


if __name__ == "__main__":
    main()
