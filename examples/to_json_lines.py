"""Converts a page (the bundled sample.html by default) to JSON lines: one JSON
object per node, in document order.

Every line has "index" (its line number from 0), "parent" (the index of the
enclosing element, or null at the top level) and "depth". A text run adds
"text"; an element adds its keys as parse returned them, without "children".
Line-oriented tools read the result directly, and "parent" rebuilds the tree.
"""
import json
import pathlib
import sys

import quillet
from quillet_tree import walk


def records(tree):
    """One flat dict per node of `tree`, in document order."""
    open_elements = []  # open_elements[d]: index of the latest element at depth d
    for index, (depth, node) in enumerate(walk(tree)):
        parent = open_elements[depth - 1] if depth else None
        record = {"index": index, "parent": parent, "depth": depth}
        if isinstance(node, str):
            record["text"] = node
        else:
            record.update((key, value) for key, value in node.items() if key != "children")
            del open_elements[depth:]
            open_elements.append(index)
        yield record


def main() -> None:
    default = pathlib.Path(__file__).with_name("sample.html")
    path = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else default
    for record in records(quillet.parse(path.read_text(encoding="utf-8"))):
        print(json.dumps(record, ensure_ascii=False))


if __name__ == "__main__":
    main()
