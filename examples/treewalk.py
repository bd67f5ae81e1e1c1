"""Walking a quillet tree without recursion, shared by the examples.

Trees can be nested far deeper than Python's recursion limit (parse itself
has no depth limit), so these helpers keep their own stack.
"""
from typing import Any, Iterator, List, Optional, Tuple


def walk(tree: Optional[List[Any]]) -> Iterator[Tuple[int, Any]]:
    """Yields (depth, node) for every node of `tree` in document order.

    A node is a str (a text run) or a dict (an element); top-level nodes have
    depth 0. `tree` is what quillet.parse returned, None included.
    """
    stack = [iter(tree or ())]
    while stack:
        for node in stack[-1]:
            yield len(stack) - 1, node
            if isinstance(node, dict) and node["children"]:
                stack.append(iter(node["children"]))
                break
        else:
            stack.pop()


def elements(tree: Optional[List[Any]]) -> Iterator[dict]:
    """Every element of `tree`, in document order."""
    return (node for _, node in walk(tree) if isinstance(node, dict))


def text_of(element: dict) -> str:
    """The text inside `element`, at any depth, with each run of whitespace as one space."""
    runs = (node for _, node in walk(element["children"]) if isinstance(node, str))
    return " ".join(" ".join(runs).split())
