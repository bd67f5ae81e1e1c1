"""The shape every parse result has, shared by the property tests and the
atheris harness (fuzz/parse_atheris.py)."""

LEADING = ["tag", "id", "classes", "style", "is_self_closing"]
"""The keys every element starts with, in this order; "children" comes last."""

SMALL = 10_000
"""Up to this many characters of input, every text run and tag name is also
looked up in the input (each look-up reads the whole input)."""


def check_tree(tree, text):
    """Asserts that `tree`, what quillet.parse gave for `text`, has the
    documented shape: None for the empty text, else a non-empty list of
    non-empty text runs (never two side by side) and elements, each a dict with
    the leading keys, then the other attributes as str, then "children"; text
    without elements comes back whole. Walked with an explicit stack, so deep
    nesting in the input cannot exhaust the interpreter's stack."""
    if text == "":
        assert tree is None
        return
    assert type(tree) is list and tree
    small = len(text) <= SMALL
    pending = [tree]
    while pending:
        nodes = pending.pop()
        assert type(nodes) is list
        after_run = False
        for node in nodes:
            if type(node) is str:
                assert node, "empty text run"
                assert not after_run, "two text runs side by side"
                assert not small or node in text, "a text run that is not in the input"
                after_run = True
                continue
            after_run = False
            assert type(node) is dict
            keys = list(node)
            assert keys[:5] == LEADING and keys[-1] == "children", keys
            assert type(node["tag"]) is str and node["tag"]
            assert not small or node["tag"] in text, "a tag name that is not in the input"
            assert type(node["id"]) is str and type(node["style"]) is str
            assert type(node["classes"]) is list and all(type(c) is str for c in node["classes"])
            assert type(node["is_self_closing"]) is bool
            assert all(type(node[k]) is str for k in keys[5:-1])
            assert not {"class", "attributes"} & set(keys)
            if node["is_self_closing"]:
                assert node["children"] == []
            pending.append(node["children"])
    if "<" not in text or all(type(node) is str for node in tree):
        assert tree == [text]
