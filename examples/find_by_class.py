"""Prints the elements of a page that list a given class.

Usage: python find_by_class.py CLASS [FILE]   (FILE defaults to the bundled sample.html)
CLASS is a class name as the markup writes it, any characters included; it
becomes the CSS selector "." + the name escaped. Each match is printed as
its tag, its id (when it has one) and its text.
"""
import pathlib
import sys

import quillet
import quillet_tree


def css_identifier(name: str) -> str:
    """`name` escaped so that CSS reads it back as one identifier, as the
    browsers' CSS.escape() writes it."""
    out = []
    for i, c in enumerate(name):
        if c == "\0":
            out.append("\ufffd")
        elif "\x01" <= c <= "\x1f" or c == "\x7f" or (
                c.isdigit() and c.isascii() and (i == 0 or i == 1 and name[0] == "-")):
            out.append("\\%x " % ord(c))
        elif c == "-" and len(name) == 1:
            out.append("\\-")
        elif not c.isascii() or c.isalnum() or c in "-_":
            out.append(c)
        else:
            out.append("\\" + c)
    return "".join(out)


def by_class(text: str, name: str):
    """Every element whose class attribute lists `name`, in document order."""
    return quillet_tree.select(quillet.parse(text), "." + css_identifier(name))


def main() -> None:
    if len(sys.argv) < 2 or not sys.argv[1]:
        sys.exit("usage: find_by_class.py CLASS [FILE]   (CLASS not empty)")
    default = pathlib.Path(__file__).with_name("sample.html")
    path = pathlib.Path(sys.argv[2]) if len(sys.argv) > 2 else default
    for element in by_class(path.read_text(encoding="utf-8"), sys.argv[1]):
        ident = f"#{element['id']}" if element["id"] else ""
        print(f"<{element['tag']}{ident}> {' '.join(quillet_tree.text(element, ' ').split())}")


if __name__ == "__main__":
    main()
