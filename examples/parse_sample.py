"""Parses a page (the bundled sample.html by default) and prints its tree as indented JSON."""
import json
import pathlib
import sys

import quillet


def main() -> None:
    default = pathlib.Path(__file__).with_name("sample.html")
    path = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else default
    tree = quillet.parse(path.read_text(encoding="utf-8"))
    json.dump(tree, sys.stdout, indent=2, ensure_ascii=False)
    print()


if __name__ == "__main__":
    main()
