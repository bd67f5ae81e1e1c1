"""Inputs shared by the tests that generate markup: pieces that exercise
every rule of the grammar when joined at random."""

# Matching and differing names, nesting, quoted values holding tags and
# brackets, bare and repeated keys, misplaced slashes, whitespace runs, stray
# brackets, keys named like the fixed ones.
PIECES = [
    "<a>", "</a>", "<a/>", "<b>", "</b>", "<b />", "<p>", "</p>", "< a >", "</ a >",
    '<a x="1">', '<a x="1" x="2">', '<a title="<a>">', '<a title="</a>">',
    '<p class="x  y" id="i" style="s">', '<a children="c" tag="t" classes="k">',
    '<i attributes="v" is_self_closing="s"/>', "<br/ >", "</a/>", "<", ">", "/", '"',
    "=", " ", "  ", "\n", "\t", "x", "\u00e9", "\U0001F600", "<>", "<<a>>", "<a <b>>",
    "<input disabled>", "<a x='1'>", "<a x=1>", '</a x="1">', "<A>", "</A>",
    # Closings and openings of enclosing elements inside quoted values, so an
    # element's content can end inside another tag.
    '<a title="</a></b>">', '<b title="</a><b>">', '<p x="</b>" y="<a>">', '<a title="</p>"/>',
    "\r", "\r\n", "<a\r>", '<a\rx="1"\r/>',
]
