"""A slow, plain selector matcher to check quillet_tree.select and drop with.

It shares nothing with the module: its own tokenizer (CSS Syntax Level 3),
its own recursive parser (Selectors Level 4), and a matcher that judges each
element occurrence from the definitions: up the ancestor chain for
descendants, over all siblings for nth counts, over the whole tree for :has.

    oracle_select(tree, selector) -> list of element dicts, document order
    oracle_drop(tree, selector)   -> new tree without the matches
    OracleInvalid                 -> the selector is not valid
"""
import re

__all__ = ["OracleInvalid", "oracle_select", "oracle_drop", "parse_selector"]


class OracleInvalid(ValueError):
    pass


def fail(why):
    raise OracleInvalid(why)


# ---------------------------------------------------------------- tokens

class Tok:
    """kind: ident function at hash string bad-string url bad-url delim number
    percentage dimension ws cdo cdc : ; , [ ] ( ) { }. value: the text (for
    numbers an int when `integer`); unit for dimensions; `sign` when a number
    was written with + or -; `is_id` for hashes."""

    def __init__(self, kind, value=None, **more):
        self.kind, self.value = kind, value
        self.unit = self.integer = self.sign = self.is_id = None
        self.__dict__.update(more)

    def __repr__(self):
        return f"Tok({self.kind}, {self.value!r})"

    def delim(self, chars):
        return self.kind == "delim" and self.value in chars


WS = " \t\n"
HEX = "0123456789abcdefABCDEF"


def is_name_start(c):
    return c.isascii() and (c.isalpha() or c == "_") or (c != "" and not c.isascii())


def is_name(c):
    return is_name_start(c) or c == "-" or ("0" <= c <= "9" and c != "")


def tokenize(text):
    # Preprocessing: one newline for CR LF, CR and FF; U+FFFD for NUL and lone surrogates.
    text = re.sub("\r\n|\r|\f", "\n", text)
    text = "".join("\ufffd" if c == "\0" or "\ud800" <= c <= "\udfff" else c for c in text)
    n, i, out = len(text), 0, []

    def at(k):
        return text[k] if k < n else ""

    def valid_escape(k):
        return at(k) == "\\" and at(k + 1) != "\n"

    def starts_ident(k):
        if at(k) == "-":
            return is_name_start(at(k + 1)) or at(k + 1) == "-" or valid_escape(k + 1)
        return is_name_start(at(k)) or valid_escape(k)

    def starts_number(k):
        if at(k) in ("+", "-"):
            k += 1
        if at(k) == ".":
            k += 1
        return at(k) != "" and at(k) in "0123456789"

    def escape(k):  # k just after the backslash
        if at(k) == "":
            return "\ufffd", k
        if at(k) in HEX:
            j = k
            while j < k + 6 and at(j) != "" and at(j) in HEX:
                j += 1
            cp = int(text[k:j], 16)
            if at(j) in WS and at(j) != "":
                j += 1
            bad = cp == 0 or 0xD800 <= cp <= 0xDFFF or cp > 0x10FFFF
            return ("\ufffd" if bad else chr(cp)), j
        return text[k], k + 1

    def name(k):
        s = []
        while True:
            if is_name(at(k)):
                s.append(text[k])
                k += 1
            elif valid_escape(k):
                c, k = escape(k + 1)
                s.append(c)
            else:
                return "".join(s), k

    def number(k):
        start = k
        if at(k) in ("+", "-") and at(k) != "":
            k += 1
        while at(k) != "" and at(k) in "0123456789":
            k += 1
        integer = True
        if at(k) == "." and at(k + 1) != "" and at(k + 1) in "0123456789":
            integer, k = False, k + 2
            while at(k) != "" and at(k) in "0123456789":
                k += 1
        if at(k) in ("e", "E") and at(k) != "":
            j = k + 1 + (at(k + 1) in ("+", "-") and at(k + 1) != "")
            if at(j) != "" and at(j) in "0123456789":
                integer, k = False, j
                while at(k) != "" and at(k) in "0123456789":
                    k += 1
        rep = text[start:k]
        value = int(rep) if integer else float(rep)
        return Tok("number", value, integer=integer, sign=rep[0] in "+-"), k

    def bad_url(k):
        while at(k) not in (")", ""):
            k = escape(k + 1)[1] if valid_escape(k) else k + 1
        return k + (at(k) == ")")

    def url(k):
        while at(k) != "" and at(k) in WS:
            k += 1
        s = []
        while True:
            c = at(k)
            if c in (")", ""):
                return Tok("url", "".join(s)), k + (c == ")")
            if c in WS:
                while at(k) != "" and at(k) in WS:
                    k += 1
                if at(k) in (")", ""):
                    return Tok("url", "".join(s)), k + (at(k) == ")")
                return Tok("bad-url"), bad_url(k)
            if c in "\"'(" or ord(c) < 0x20 and c != "\t" or ord(c) == 0x7F:
                return Tok("bad-url"), bad_url(k)
            if c == "\\":
                if not valid_escape(k):
                    return Tok("bad-url"), bad_url(k)
                c, k = escape(k + 1)
                s.append(c)
                continue
            s.append(c)
            k += 1

    while i < n:
        c = text[i]
        if text.startswith("/*", i):
            end = text.find("*/", i + 2)
            i = n if end < 0 else end + 2
        elif c in WS:
            while at(i) != "" and at(i) in WS:
                i += 1
            out.append(Tok("ws"))
        elif c in "\"'":
            i += 1
            s = []
            while True:
                d = at(i)
                if d == c or d == "":
                    i += d == c
                    out.append(Tok("string", "".join(s)))
                    break
                if d == "\n":
                    out.append(Tok("bad-string"))
                    break
                if d == "\\":
                    if at(i + 1) == "":
                        i += 1
                    elif at(i + 1) == "\n":
                        i += 2
                    else:
                        d, i = escape(i + 1)
                        s.append(d)
                    continue
                s.append(d)
                i += 1
        elif c == "#" and (is_name(at(i + 1)) or valid_escape(i + 1)):
            is_id = starts_ident(i + 1)
            value, i = name(i + 1)
            out.append(Tok("hash", value, is_id=is_id))
        elif c in "()[]{},:;":
            out.append(Tok(c))
            i += 1
        elif c in "+-." and starts_number(i) or "0" <= c <= "9":
            tok, i = number(i)
            if starts_ident(i):
                tok.kind, (tok.unit, i) = "dimension", name(i)
            elif at(i) == "%":
                tok.kind, i = "percentage", i + 1
            out.append(tok)
        elif c == "-" and text.startswith("->", i + 1):
            out.append(Tok("cdc"))
            i += 3
        elif c == "<" and text.startswith("!--", i + 1):
            out.append(Tok("cdo"))
            i += 4
        elif c == "@" and starts_ident(i + 1):
            value, i = name(i + 1)
            out.append(Tok("at", value))
        elif starts_ident(i):
            value, i = name(i)
            if at(i) == "(":
                i += 1
                if value.lower() == "url" and value.isascii():
                    j = i
                    while at(j) != "" and at(j) in WS:
                        j += 1
                    if at(j) not in ("\"", "'") or at(j) == "":
                        tok, i = url(i)
                        out.append(tok)
                        continue
                out.append(Tok("function", value))
            else:
                out.append(Tok("ident", value))
        else:
            out.append(Tok("delim", c))
            i += 1
    return out


# ------------------------------------------------------- component values

class Block:
    """A function (name) or a ( [ { block, and its contents."""

    def __init__(self, kind, name, items):
        self.kind, self.name, self.items = kind, name, items

    def delim(self, chars):
        return False


CLOSE = {"(": ")", "[": "]", "{": "}", "function": ")"}


def components(tokens):
    """Nests blocks (an unclosed one closes at the end); more than 64 nested
    parentheses is an error."""
    stack = [("top", None, [])]
    for t in tokens:
        if t.kind in CLOSE:
            stack.append((t.kind, t.value, []))
            if sum(k in ("(", "function") for k, _, _ in stack) > 64:
                fail("nested too deep")
        elif len(stack) > 1 and t.kind == CLOSE[stack[-1][0]]:
            kind, name, items = stack.pop()
            stack[-1][2].append(Block(kind, name, items))
        else:
            stack[-1][2].append(t)
    while len(stack) > 1:
        kind, name, items = stack.pop()
        stack[-1][2].append(Block(kind, name, items))
    return stack[0][2]


def kind(x):
    return x.kind if x is not None else None


def strip(items):
    a, b = 0, len(items)
    while a < b and kind(items[a]) == "ws":
        a += 1
    while b > a and kind(items[b - 1]) == "ws":
        b -= 1
    return items[a:b]


def split_commas(items):
    parts, cur = [], []
    for x in items:
        if kind(x) == ",":
            parts.append(cur)
            cur = []
        else:
            cur.append(x)
    return parts + [cur]


# ---------------------------------------------------------------- parser
# A selector list is a list of complex selectors; a complex selector is a
# list of (combinator, compound), the first combinator being the relative
# one (" " when none). A compound is a list of simple tests, tuples.

SIMPLE_PSEUDO = {"root", "scope", "empty", "link", "any-link", "visited", "disabled", "enabled", "checked",
                 "first-child", "last-child", "only-child", "first-of-type", "last-of-type", "only-of-type"}
LEGACY_ELEMENTS = {"before", "after", "first-line", "first-letter"}
ELEMENTS = LEGACY_ELEMENTS | {"marker", "placeholder", "selection", "backdrop", "file-selector-button",
                              "target-text", "spelling-error", "grammar-error", "cue", "cue-region"}
NTH = {"nth-child", "nth-last-child", "nth-of-type", "nth-last-of-type"}


def lower(s):
    return "".join(chr(ord(c) + 32) if "A" <= c <= "Z" else c for c in s)


def parse_selector(text):
    return selector_list(components(tokenize(text)), top=True)


def selector_list(items, top=False, in_has=False, relative=False, forgiving=False):
    out = []
    for part in split_commas(items):
        try:
            out.append(complex_selector(strip(part), top, in_has, relative))
        except OracleInvalid:
            if not forgiving:
                raise
    return out


def complex_selector(items, top, in_has, relative):
    if not items:
        fail("empty selector")
    i, comb, parts = 0, " ", []
    if relative and items[0].delim(">+~"):
        comb, i = items[0].value, 1
        while i < len(items) and kind(items[i]) == "ws":
            i += 1
    while True:
        if parts and parts[-1][1] and parts[-1][1][-1][0] == "pseudo-element":
            fail("a pseudo-element ends a selector")
        compound, i = compound_selector(items, i, top, in_has)
        parts.append((comb, compound))
        if i == len(items):
            return parts
        spaced = kind(items[i]) == "ws"
        while i < len(items) and kind(items[i]) == "ws":
            i += 1
        if i < len(items) and items[i].delim(">+~"):
            comb, i = items[i].value, i + 1
            while i < len(items) and kind(items[i]) == "ws":
                i += 1
        elif spaced:
            comb = " "
        else:
            fail("expected a combinator")
        if i == len(items):
            fail("a combinator ends the selector")


def ns_name(items, i):
    """[ns|]name at i -> (name or "*", next index); the name may be "*" only
    when star is allowed by the caller (checked there)."""
    def name_at(k):
        x = items[k] if k < len(items) else None
        if kind(x) == "ident":
            return x.value
        if x is not None and x.delim("*"):
            return "*"
        return None

    first = name_at(i)
    nxt = items[i + 1] if i + 1 < len(items) else None
    after = items[i + 2] if i + 2 < len(items) else None
    if first is not None and nxt is not None and nxt.delim("|") and not (after is not None and after.delim("=")):
        second = name_at(i + 2)
        if second is None:
            fail("a name after |")
        if first != "*":
            fail("namespace prefixes are not declared")
        return second, i + 3
    if first is None and nxt is not None and items[i].delim("|") and not nxt.delim("="):
        second = name_at(i + 1)
        if second is None:
            fail("a name after |")
        return second, i + 2
    if first is None:
        return None, i
    return first, i + 1


def compound_selector(items, i, top, in_has):
    tests = []
    name, i = ns_name(items, i)
    if name is not None and name != "*":
        tests.append(("tag", name))
    typed = name is not None
    while i < len(items):
        x = items[i]
        if tests and tests[-1][0] == "pseudo-element":
            fail("nothing follows a pseudo-element")
        if kind(x) == "hash":
            if not x.is_id:
                fail("an id is an identifier")
            tests.append(("id", x.value))
            i += 1
        elif x.delim("."):
            if kind(items[i + 1] if i + 1 < len(items) else None) != "ident":
                fail("a class is an identifier")
            tests.append(("class", items[i + 1].value))
            i += 2
        elif kind(x) == "[":
            tests.append(attribute(x.items))
            i += 1
        elif kind(x) == ":":
            test, i = pseudo(items, i + 1, top, in_has)
            tests.append(test)
        else:
            break
    if not tests and not typed:
        fail("empty compound selector")
    return tests, i


def attribute(items):
    items = strip(items)
    name, i = ns_name(items, 0)
    if name is None or name == "*":
        fail("an attribute name")
    while i < len(items) and kind(items[i]) == "ws":
        i += 1
    if i == len(items):
        return ("attr", name, None, None, False)
    if items[i].delim("~|^$*") and i + 1 < len(items) and items[i + 1].delim("="):
        op, i = items[i].value + "=", i + 2
    elif items[i].delim("="):
        op, i = "=", i + 1
    else:
        fail("an attribute operator")
    rest = [x for x in items[i:] if kind(x) != "ws"]
    if not rest or kind(rest[0]) not in ("ident", "string"):
        fail("an attribute value")
    flag = False
    if len(rest) == 2 and kind(rest[1]) == "ident" and lower(rest[1].value) in ("i", "s"):
        flag = lower(rest[1].value) == "i"
    elif len(rest) != 1:
        fail("attribute flags")
    return ("attr", name, op, rest[0].value, flag)


def pseudo(items, i, top, in_has):
    x = items[i] if i < len(items) else None
    if kind(x) == ":":
        x = items[i + 1] if i + 1 < len(items) else None
        element = True
        i += 1
    else:
        element = False
    if kind(x) == "ident":
        name = lower(x.value)
        if element and name in ELEMENTS or not element and name in LEGACY_ELEMENTS:
            if not top:
                fail("no pseudo-element here")
            return ("pseudo-element",), i + 1
        if not element and name in SIMPLE_PSEUDO:
            return ("pseudo", name), i + 1
        fail(f"unknown pseudo {name}")
    if not isinstance(x, Block) or x.kind != "function":
        fail("a pseudo-class name")
    name, args = lower(x.name), x.items
    if element:
        if name not in ("slotted", "part", "highlight", "cue") or not top:
            fail(f"unknown pseudo-element {name}")
        element_arguments(name, strip(args))
        return ("pseudo-element",), i + 1
    if name in ("is", "where"):
        return ("is", selector_list(args, in_has=in_has, forgiving=True)), i + 1
    if name == "not":
        return ("not", selector_list(args, in_has=in_has)), i + 1
    if name == "has":
        if in_has:
            fail(":has in :has")
        return ("has", selector_list(args, in_has=True, relative=True)), i + 1
    if name == "lang":
        ranges = [strip(p) for p in split_commas(args)]
        if not all(len(r) == 1 and kind(r[0]) in ("ident", "string") for r in ranges):
            fail(":lang takes idents and strings")
        return ("lang", [r[0].value for r in ranges]), i + 1
    if name in NTH:
        args = strip(args)
        k = next((k for k, t in enumerate(args) if kind(t) == "ident" and lower(t.value) == "of"), None)
        of = None
        if k is not None:
            if name not in ("nth-child", "nth-last-child"):
                fail("of S in an of-type pseudo-class")
            of = selector_list(args[k + 1:], in_has=in_has)
            args = strip(args[:k])
        return ("nth", name, anb(args), of), i + 1
    fail(f"unknown pseudo-class {name}")


def element_arguments(name, args):
    if name == "slotted":
        tests, k = compound_selector(args, 0, False, False)
        if k != len(args):
            fail("::slotted takes a compound selector")
    elif name in ("part", "highlight"):
        idents = [a for a in args if kind(a) != "ws"]
        if not idents or not all(kind(a) == "ident" for a in idents) or name == "highlight" and len(idents) > 1:
            fail(f"::{name} takes identifiers")
    else:
        selector_list(args)


def anb(toks):
    """(a, b) of an An+B argument."""
    if not toks:
        fail("empty An+B")
    if toks[0].delim("+"):
        if len(toks) < 2 or kind(toks[1]) != "ident" or lower(toks[1].value)[:1] != "n":
            fail("+ goes right before n")
        toks = toks[1:]
    elif kind(toks[0]) == "ident" and lower(toks[0].value) in ("odd", "even") and len(toks) == 1:
        return (2, 1) if lower(toks[0].value) == "odd" else (2, 0)
    parts = [t for t in toks if kind(t) != "ws"]
    head = parts[0]
    if kind(head) == "number" and head.integer and len(parts) == 1:
        return 0, head.value
    if kind(head) == "dimension" and head.integer:
        a, n = head.value, lower(head.unit)
    elif kind(head) == "ident":
        v = lower(head.value)
        a, n = (-1, v[1:]) if v.startswith("-") else (1, v)
    else:
        fail("not An+B")
    m = re.fullmatch(r"n(-(\d*))?", n, re.ASCII)
    if not m:
        fail("not An+B")
    rest = parts[1:]
    if m.group(2):  # n-<digits>
        if rest:
            fail("not An+B")
        return a, -int(m.group(2))
    if m.group(1):  # n- <signless integer>
        if len(rest) == 1 and signless(rest[0]):
            return a, -rest[0].value
        fail("not An+B")
    if not rest:
        return a, 0
    if len(rest) == 1 and kind(rest[0]) == "number" and rest[0].integer and rest[0].sign:
        return a, rest[0].value
    if len(rest) == 2 and rest[0].delim("+-") and signless(rest[1]):
        return a, rest[1].value if rest[0].value == "+" else -rest[1].value
    fail("not An+B")


def signless(t):
    return kind(t) == "number" and t.integer and not t.sign


# ---------------------------------------------------------------- the tree

class Occ:
    """One place an element stands at: its parent's occurrence, its element
    siblings (itself included) and its index there, its element children and
    its text runs."""

    def __init__(self, e, parent, sibs):
        self.e, self.parent, self.sibs = e, parent, sibs
        self.idx = len(sibs)
        self.kids, self.runs = [], []


def occurrences(tree):
    """The top-level occurrences; every element's tag checked, children read,
    cycles found (a list met again below itself)."""
    top, path = [], set()

    def fill(nodes, parent, sibs, runs):
        if not isinstance(nodes, list):
            raise TypeError(f"children are a list, not {type(nodes).__name__}")
        if id(nodes) in path:
            raise ValueError("the tree holds itself")
        path.add(id(nodes))
        for node in list(nodes):
            if isinstance(node, list):
                fill(node, parent, sibs, runs)
            else:
                one(node, parent, sibs, runs)
        path.discard(id(nodes))

    def one(node, parent, sibs, runs):
        if node is None:
            return
        if isinstance(node, str):
            runs.append(node)
            return
        if not isinstance(node, dict):
            raise TypeError(f"a node is a str or a dict, not {type(node).__name__}")
        if not isinstance(node.get("tag"), str):
            raise TypeError(f"a tag is a str, not {type(node.get('tag')).__name__}")
        occ = Occ(node, parent, sibs)
        sibs.append(occ)
        if "children" in node:
            fill(node["children"], occ, occ.kids, occ.runs)

    if isinstance(tree, list):
        fill(tree, None, top, [])
    else:
        one(tree, None, top, [])
    return top


def document_order(occs):
    for o in occs:
        yield o
        yield from document_order(o.kids)


# --------------------------------------------------------------- matching

def value(e, name):
    """An attribute's value as a str, or None when absent."""
    if name in ("tag", "classes", "is_self_closing", "children") or name not in e and name != "class":
        return None
    if name == "class":
        classes = e.get("classes")
        if classes is None or isinstance(classes, str):
            return None
        joined = " ".join(class_items(classes))
        return joined or None
    v = e[name]
    if not isinstance(v, str):
        raise TypeError(f"the value of {name!r} is a str, not {type(v).__name__}")
    return None if name in ("id", "style") and v == "" else v


def class_items(classes):
    if not isinstance(classes, list):
        raise TypeError(f"classes is a list or a str, not {type(classes).__name__}")
    for c in classes:
        if not isinstance(c, str):
            raise TypeError(f"a class is a str, not {type(c).__name__}")
    return classes


def attr_matches(e, name, op, want, fold):
    v = value(e, name)
    if v is None or op is None:
        return v is not None
    if name == "class" and op == "~=":
        return want != "" and not any(c in want for c in " \t\n\r\f") and want in class_items(e["classes"])
    if fold:
        v, want = lower(v), lower(want)
    if op == "=":
        return v == want
    if op == "~=":
        return want != "" and not any(c in want for c in " \t\n\r\f") and want in re.split("[ \t\n\r\f]+", v)
    if op == "|=":
        return v == want or v.startswith(want + "-")
    if want == "":
        return False
    return {"^=": v.startswith, "$=": v.endswith, "*=": v.__contains__}[op](want)


def lang_matches(lang, rng):
    if lang == "":
        return False
    r, t = lower(rng).split("-"), lower(lang).split("-")
    if r[0] != "*" and r[0] != t[0]:
        return False
    i = j = 1
    while i < len(r):
        if r[i] == "*":
            i += 1
        elif j >= len(t):
            return False
        elif r[i] == t[j]:
            i, j = i + 1, j + 1
        elif len(t[j]) == 1:
            return False
        else:
            j += 1
    return True


COMMENTS = re.compile(r"(?:<!--(?:(?!-->).)*-->)+", re.S)
FORM = ("button", "input", "select", "textarea", "fieldset")


def has_attr(e, name):
    return value(e, name) is not None


def disabled(o):
    e, tag = o.e, o.e["tag"]
    if tag in FORM:
        if has_attr(e, "disabled"):
            return True
        child, up = o, o.parent
        while up is not None:
            if up.e["tag"] == "fieldset" and has_attr(up.e, "disabled"):
                legend = next((k for k in up.kids if k.e["tag"] == "legend"), None)
                if legend is not child:
                    return True
            child, up = up, up.parent
        return False
    if tag == "optgroup":
        return has_attr(e, "disabled")
    if tag == "option":
        p = o.parent
        return has_attr(e, "disabled") or (p is not None and p.e["tag"] == "optgroup" and has_attr(p.e, "disabled"))
    return False


def nth(a, b, i):
    return i == b if a == 0 else (i - b) % a == 0 and (i - b) // a >= 0


class Matcher:
    def __init__(self, top):
        self.top = top
        self.all = list(document_order(top))

    def siblings(self, o):
        return o.sibs

    def any_of(self, selectors, o):
        return any(self.complex(sel, len(sel) - 1, o) for sel in selectors)

    def complex(self, sel, k, o, anchor=None):
        if not self.compound(sel[k][1], o):
            return False
        comb = sel[k][0]
        if k == 0:
            if anchor is None:
                return True
            targets = [anchor]
        else:
            targets = None
        if comb == ">":
            ups = [o.parent] if o.parent is not None else []
        elif comb == " ":
            ups, p = [], o.parent
            while p is not None:
                ups.append(p)
                p = p.parent
        elif comb == "+":
            ups = [o.sibs[o.idx - 1]] if o.idx > 0 else []
        else:
            ups = o.sibs[:o.idx]
        if targets is not None:
            return any(u is anchor for u in ups)
        return any(self.complex(sel, k - 1, u, anchor) for u in ups)

    def compound(self, tests, o):
        return all(self.simple(t, o) for t in tests)

    def simple(self, t, o):
        e, what = o.e, t[0]
        if what == "tag":
            return e["tag"] == t[1]
        if what == "id":
            return "id" in e and value(e, "id") == t[1]
        if what == "class":
            classes = e.get("classes")
            return classes is not None and not isinstance(classes, str) and t[1] in class_items(classes)
        if what == "attr":
            return attr_matches(e, *t[1:])
        if what == "pseudo-element":
            return False
        if what == "is":
            return self.any_of(t[1], o)
        if what == "not":
            return not self.any_of(t[1], o)
        if what == "has":
            return any(self.complex(sel, len(sel) - 1, x, anchor=o) for sel in t[1] for x in self.all)
        if what == "lang":
            p = o
            while p is not None and "lang" not in p.e:
                p = p.parent
            lang = "" if p is None else value(p.e, "lang")
            return any(lang_matches(lang, r) for r in t[1])
        if what == "nth":
            _, name, (a, b), of = t
            sibs = o.sibs
            if of is not None:
                if not self.any_of(of, o):
                    return False
                sibs = [s for s in sibs if self.any_of(of, s)]
            elif name.endswith("of-type"):
                sibs = [s for s in sibs if s.e["tag"] == e["tag"]]
            i = next(k for k, s in enumerate(sibs) if s is o) + 1
            return nth(a, b, len(sibs) + 1 - i if "last" in name else i)
        name = t[1]
        if name in ("root", "scope"):
            return o.parent is None
        if name == "empty":
            return not o.kids and all(r and COMMENTS.fullmatch(r) for r in o.runs)
        if name in ("link", "any-link"):
            return e["tag"] in ("a", "area") and "href" in e and value(e, "href") is not None
        if name == "visited":
            return False
        if name == "disabled":
            return disabled(o)
        if name == "enabled":
            return e["tag"] in FORM + ("optgroup", "option") and not disabled(o)
        if name == "checked":
            if e["tag"] == "input":
                kind_ = value(e, "type")
                return kind_ is not None and lower(kind_) in ("checkbox", "radio") and has_attr(e, "checked")
            return e["tag"] == "option" and has_attr(e, "selected")
        sibs = o.sibs
        if name.endswith("of-type"):
            sibs = [s for s in sibs if s.e["tag"] == e["tag"]]
        first, last = sibs[0] is o, sibs[-1] is o
        return {"first": first, "last": last, "only": first and last}[name.split("-")[0]]


def oracle_select(tree, selector):
    selectors = parse_selector(selector)
    top = occurrences(tree)
    m = Matcher(top)
    out, seen = [], set()
    for o in m.all:
        if id(o.e) not in seen and m.any_of(selectors, o):
            seen.add(id(o.e))
            out.append(o.e)
    return out


def oracle_drop(tree, selector):
    gone = {id(e) for e in oracle_select(tree, selector)}

    def nodes(items, out=None):
        # A list inside a list stands for its items, and None for nothing,
        # as in matching; text runs that meet are joined.
        out = [] if out is None else out
        for x in items:
            if isinstance(x, list):
                nodes(x, out)
            elif isinstance(x, str) and out and isinstance(out[-1], str):
                out[-1] += x
            elif isinstance(x, str):
                out.append(x)
            elif isinstance(x, dict) and id(x) not in gone:
                out.append(element(x))
        return out

    def element(e):
        c = dict(e)
        if isinstance(c.get("classes"), list):
            c["classes"] = list(c["classes"])
        if "children" in c:
            c["children"] = nodes(c["children"])
        return c

    if isinstance(tree, list):
        return nodes(tree)
    if isinstance(tree, dict):
        return None if id(tree) in gone else element(tree)
    return tree
