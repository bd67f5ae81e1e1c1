"""Mistakes the type information must catch, one per line with an error comment."""
import quillet

quillet.parse(b"<p>x</p>")  # error
quillet.parse()  # error
quillet.parse("a", "b")  # error
quillet.parse(text="a")  # error
quillet.parse("x").append("y")  # error: the result may be None
for node in quillet.parse("x") or []:
    node["tag"]  # error: a node may be a str
    if isinstance(node, dict):
        flag: bool = node["is_self_closing"]  # error: an attribute may replace it with a str
        names: list[str] = node["classes"]  # error: likewise
        count: int = node["id"]  # error
import quillet_tree

quillet_tree.text(quillet.parse("x"), 1)  # error: sep is a str
quillet_tree.to_json([], indent=2)  # error: no such option
quillet_tree.elements(None, tag=1)  # error
for depth, node in quillet_tree.walk(None):
    node["tag"]  # error: a node may be a str
quillet_tree.select(None, 1)  # error: a selector is a str or a Selector
quillet_tree.select_one(None, "a")["tag"]  # error: there may be no match
quillet_tree.compile("a").pattern = 1  # error
quillet_tree.decode("text")  # error: decode takes bytes
quillet_tree.text(None, visible="yes")  # error: visible is a bool
