"""python -m quillet_tree: the quillet command (see quillet_tree._cli)."""
import sys

from quillet_tree._cli import main

if __name__ == "__main__":
    sys.exit(main())
