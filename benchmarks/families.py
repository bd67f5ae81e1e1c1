"""Input generators for the scaling benchmarks.

Each family groups one or more variants; every variant is a function
``gen(n_bytes) -> str`` returning a document of about ``n_bytes`` UTF-8 bytes
(never more than one repeated unit over).  All generators are deterministic, so
two runs time the same documents.

The families aim at the paths where a naive scanner goes quadratic: tags that
never close, closing tags searched for across the whole input, whitespace
skipped again at every position, "<" that never finds its ">", and quoted
values that look like tags.
"""

import random

__all__ = ["FAMILIES", "generate", "select", "well_formed"]


def _repeat(unit, n_bytes, head="", tail=""):
    """head + unit * k + tail, with k chosen so the whole is about n_bytes."""
    unit_size = len(unit.encode("utf-8"))
    fixed = len((head + tail).encode("utf-8"))
    k = max(1, (n_bytes - fixed) // unit_size)
    return head + unit * k + tail


def repeating(unit, head="", tail=""):
    """A generator of head + unit * k + tail."""
    return lambda n: _repeat(unit, n, head, tail)


def mirrored(left, right, closed=1.0):
    """A generator of left * k + right * (k * closed): a nest k deep, of which
    the share `closed` is matched."""
    unit = len(left.encode("utf-8")) + closed * len(right.encode("utf-8"))

    def gen(n):
        k = max(1, int(n // unit))
        return left * k + right * int(k * closed)
    return gen


def numbered(fmt):
    """A generator of fmt % 0, fmt % 1, ... (each a distinct piece)."""
    def gen(n):
        parts = []
        size = 0
        i = 0
        while size < n:
            piece = fmt % i
            parts.append(piece)
            size += len(piece)
            i += 1
        return "".join(parts)
    return gen


def around(head, inner, tail):
    """A generator of head + inner(...) + tail."""
    fixed = len((head + tail).encode("utf-8"))
    return lambda n: head + inner(max(1, n - fixed)) + tail


def cycled(fmt, count):
    """A generator of fmt % 0 ... fmt % (count - 1) over and over."""
    return repeating("".join(fmt % i for i in range(count)))


# -- text ---------------------------------------------------------------------

_WORDS = ("the of and to in is was that for it with as his on be at by had "
          "not are but from or have an they which one you were all we her "
          "she there would their will when who him been has more if no out "
          "so said what up its about than into them can only other time new "
          "some could these two may first then do any like my now over such "
          "our man me even most made after also did many off before must "
          "well back through years much where your way down should because "
          "long each just state people those too how little good very make "
          "world still own see men work ago life between get both "
          "a=b & c > d; e \"f\" 'g' (h) [i] {j} 1,234.5 %").split()

_UNICODE_WORDS = ("żółw łódź città naïve café Straße Ωμέγα кошка собака "
                  "猫 犬 日本語 中文 한국어 עברית العربية हिन्दी ไทย "
                  "𝔘𝔫𝔦𝔠𝔬𝔡𝔢 🐍 🌍 ✓ → « » … — –").split()


def _text(n, words, seed):
    rng = random.Random(seed)
    parts = []
    size = 0
    line = 0
    while size < n:
        word = rng.choice(words)
        line += 1
        sep = "\n" if line % 12 == 0 else " "
        parts.append(word)
        parts.append(sep)
        size += len(word.encode("utf-8")) + 1
    return "".join(parts)


def plain_text_ascii(n):
    return _text(n, _WORDS, 1)


def plain_text_unicode(n):
    return _text(n, _UNICODE_WORDS + _WORDS, 2)


# -- realistic documents ------------------------------------------------------

_BLOCK_TAGS = ("div", "section", "article")
_CLASSES = ("main", "content", "nav", "item", "active", "col-6", "row",
            "card", "title", "muted", "small", "big", "link", "btn")


_ATTR_WORDS = [w for w in _WORDS[:150] if '"' not in w and ">" not in w]


def well_formed(n, seed=7, compact=False):
    """A nested page of div/section/article/p/span/a/ul/li/img markup.

    Elements carry id, class, style and other attributes; text runs mix ASCII
    and a little non-ASCII; unless compact, indentation and newlines sit
    between blocks, as in pages written by tools.  Everything is closed
    properly (img uses the self-closing form) and no attribute value holds a
    quote or ">", so every tag is an element.
    """
    rng = random.Random(seed)
    nl = "" if compact else "\n"
    out = ['<html lang="en">%s<head><title>Generated page</title>'
           '<meta charset="utf-8"/></head>%s<body class="page">%s' % (nl, nl, nl)]
    size = len(out[0])
    counter = 0
    text_words = _WORDS[:150] + _UNICODE_WORDS[:4]

    def pad(depth):
        return "" if compact else "  " * depth

    def text(lo, hi, words=text_words):
        return " ".join(rng.choice(words) for _ in range(rng.randint(lo, hi)))

    def classes():
        return " ".join(rng.sample(_CLASSES, rng.randint(1, 3)))

    def paragraph():
        nonlocal counter
        counter += 1
        bits = ['<p class="%s">' % classes(), text(3, 12)]
        for _ in range(rng.randint(0, 3)):
            r = rng.random()
            if r < 0.4:
                bits.append(' <a href="https://example.org/page/%d?ref=%d" '
                            'title="%s">%s</a> '
                            % (counter, rng.randint(1, 999),
                               text(1, 3, _ATTR_WORDS), text(1, 4)))
            elif r < 0.75:
                bits.append(' <span class="%s">%s</span> ' % (classes(), text(1, 5)))
            else:
                bits.append(' <img src="/img/%d.png" alt="%s" width="%d" '
                            'height="%d"/> ' % (counter, text(1, 3, _ATTR_WORDS),
                                                rng.randint(16, 640),
                                                rng.randint(16, 480)))
            bits.append(text(1, 8))
        bits.append("</p>")
        return "".join(bits)

    def listing(depth):
        items = []
        for i in range(rng.randint(2, 6)):
            items.append('%s<li class="item" data-index="%d"><a href="#s%d">%s'
                         '</a></li>%s' % (pad(depth + 1), i, counter, text(1, 4), nl))
        return ('%s<ul class="%s">%s%s%s</ul>%s'
                % (pad(depth), classes(), nl, "".join(items), pad(depth), nl))

    # Blocks are emitted with an explicit stack so depth stays realistic
    # (mostly 2-8 levels) whatever the document size.
    stack = []
    while size < n:
        depth = len(stack) + 1
        r = rng.random()
        if stack and (r < 0.22 or len(stack) > 6):
            piece = "%s</%s>%s" % (pad(len(stack)), stack.pop(), nl)
        elif r < 0.45:
            counter += 1
            tag = rng.choice(_BLOCK_TAGS)
            piece = ('%s<%s id="b%d" class="%s" style="margin: %dpx; color: #%06x">%s'
                     % (pad(depth), tag, counter, classes(), rng.randint(0, 24),
                        rng.randint(0, 0xFFFFFF), nl))
            stack.append(tag)
        elif r < 0.60:
            piece = listing(depth)
        else:
            piece = pad(depth) + paragraph() + nl
        out.append(piece)
        size += len(piece.encode("utf-8"))
    while stack:
        out.append("%s</%s>%s" % (pad(len(stack)), stack.pop(), nl))
    out.append("</body>%s</html>%s" % (nl, nl))
    return "".join(out)


def well_formed_compact(n):
    # The same kind of page with no whitespace between tags.
    return well_formed(n, seed=11, compact=True)


_FIFTY = "".join(' a%d="value%d"' % (i, i) for i in range(50))

# family -> {variant: gen}
FAMILIES = {
    "unclosed_one_name": {"a": repeating("<a>")},
    # Every tag its own name, so a search for one closing tag can never reuse
    # what a search for another learnt; or 64 names in rotation, so the
    # search meets many tags of other names and some of its own.
    "unclosed_many_names": {"distinct": numbered("<t%x>"),
                            "cycled_64": cycled("<n%d>", 64)},
    "deep_nesting": {"closed": mirrored("<a>", "</a>"),
                     "closed_text": mirrored("<a>x", "</a>")},
    # Unclosed tags with text between them; and a nest whose outer half
    # never closes around an inner half that does.
    "deep_unclosed": {"open_text": repeating("<a>x"),
                      "half_closed": mirrored("<a>", "</a>", 0.5)},
    "alternating": {"open_close": repeating("<a></a>"),
                    "close_open": repeating("</a><a>")},
    # Runs not followed by an element: by text, or by a "<" that starts none.
    "whitespace_runs": {"spaces_text": repeating(" " * 1000 + "x"),
                        "mixed_text": repeating(" \n\t\r" * 250 + "x"),
                        "spaces_lt": repeating(" " * 1000 + "<x")},
    "lt_without_gt": {"lt": repeating("<"), "lt_name": repeating("<a"),
                      "lt_name_attr": repeating('<a b="c" ')},
    "nested_brackets": {"plain": mirrored("<", ">"),
                        "named": mirrored("<a", ">")},
    "quoted_markup": {"open_in_value": repeating('<p title="<p>">x'),
                      "close_in_value": repeating('<p title="</p>">x</p>')},
    "long_attribute_lists": {"one_tag": around("<a", numbered(' a%x="v"'), ">x</a>"),
                             "many_tags_50": repeating("<a" + _FIFTY + ">x</a>")},
    "repeated_attributes": {"pairs": repeating('<a b="1" b="2">x</a>'),
                            "one_tag": repeating('b="1" ', "<a ", ">x</a>")},
    "plain_text": {"ascii": plain_text_ascii, "unicode": plain_text_unicode},
    "well_formed": {"indented": well_formed, "compact": well_formed_compact},
}


def generate(family, variant, n_bytes):
    return FAMILIES[family][variant](n_bytes)


def select(names=None):
    """(family, variant) pairs for a list of names; each name is a family or
    family/variant.  Unknown names raise KeyError."""
    if not names:
        return [(f, v) for f, vs in FAMILIES.items() for v in vs]
    chosen = []
    for name in names:
        family, _, variant = name.partition("/")
        if family not in FAMILIES:
            raise KeyError(name)
        if variant:
            if variant not in FAMILIES[family]:
                raise KeyError(name)
            pairs = [(family, variant)]
        else:
            pairs = [(family, v) for v in FAMILIES[family]]
        chosen.extend(p for p in pairs if p not in chosen)
    return chosen
