"""Reads CSS selectors into the program that quillet_tree._native matches.

Tokens follow the CSS syntax (escapes, quoted strings, blocks left open at
the end of the text closing there); the grammar is that of selectors for a
static document. The program is plain tuples, read once by the C++ half:

    program  = (list, ...)           in evaluation order: every list comes
                                     after the lists it refers to; the last
                                     is the selector itself
    list     = (relative, (complex, ...))
    complex  = ((combinator, compound), ...)
    compound = (tag or None, (test, ...))
    test     = (kind, *arguments)    see the K_ and OP_ constants

The first combinator of a complex selector is C_NONE, except in a relative
selector (inside :has()), where it relates the element to the one that :has()
is asked about.
"""
from __future__ import annotations

import re
from typing import Any, List, Optional, Tuple

# Combinators.
C_NONE, C_DESCENDANT, C_CHILD, C_NEXT, C_LATER = range(5)
# Tests, with their arguments.
K_ID = 1        # (value)
K_CLASS = 2     # (value)
K_ATTR = 3      # (name, op, value, ignore_case)
K_ROOT = 4      # ()
K_EMPTY = 5     # ()
K_NTH = 6       # (a, b, from_end, of_type, list or -1)
K_IS = 7        # (list)
K_NOT = 8       # (list)
K_HAS = 9       # (list): a relative list
K_LANG = 10     # (ranges)
K_NEVER = 11    # ()
# Attribute operators.
OP_EXISTS, OP_EQUALS, OP_WORD, OP_DASH, OP_PREFIX, OP_SUFFIX, OP_CONTAINS = range(7)
_OPERATORS = {"=": OP_EQUALS, "~=": OP_WORD, "|=": OP_DASH, "^=": OP_PREFIX, "$=": OP_SUFFIX,
              "*=": OP_CONTAINS}

# Parentheses nest this deep at most, so that reading a selector needs no
# more than a bounded stack.
MAX_NESTING = 64


class SelectorError(ValueError):
    """A selector that is not valid. `pattern` is the selector's text and
    `position` the index in it where reading failed."""

    def __init__(self, message: str, pattern: str, position: int) -> None:
        super().__init__(f"{message} at position {position} of {pattern!r}")
        self.pattern = pattern
        self.position = position
        self._reason = message

    def __reduce__(self) -> Tuple[Any, ...]:
        # Remade from what it was made of: pickle (and so a worker process)
        # would otherwise call __init__ with the whole message alone.
        return type(self), (self._reason, self.pattern, self.position), self.__dict__


# Shown where it is used from.
SelectorError.__module__ = "quillet_tree"


# Tokens: (kind, value, start, end). Kinds: "ident", "function" (value: the
# name, the "(" consumed), "hash" (value, and whether it is an identifier),
# "string", "number", "dimension", "percentage", "ws", "delim" and the
# punctuation itself ("[", "]", "(", ")", ",", ":", ";", "{", "}").
_Token = Tuple[str, Any, int, int]

_WS = " \t\n\r\f"
_NUMBER = re.compile(r"[+-]?(\d*\.\d+|\d+)([eE][+-]?\d+)?", re.ASCII)
_HEX = "0123456789abcdefABCDEF"


def _name_start(c: str) -> bool:
    return c.isascii() and (c.isalpha() or c == "_") or not c.isascii() and c != ""


def _name_char(c: str) -> bool:
    return _name_start(c) or c.isdigit() and c.isascii() or c == "-"


class _Tokenizer:
    def __init__(self, text: str) -> None:
        self.s = text
        self.i = 0

    def at(self, k: int = 0) -> str:
        j = self.i + k
        return self.s[j] if j < len(self.s) else ""

    def valid_escape(self, k: int = 0) -> bool:
        return self.at(k) == "\\" and self.at(k + 1) not in ("\n", "\r", "\f")

    def starts_ident(self, k: int = 0) -> bool:
        c = self.at(k)
        if c == "-":
            return _name_start(self.at(k + 1)) or self.at(k + 1) == "-" or self.valid_escape(k + 1)
        return _name_start(c) or self.valid_escape(k)

    def starts_number(self, k: int = 0) -> bool:
        c = self.at(k)
        if c in "+-":
            c, k = self.at(k + 1), k + 1
        if c == ".":
            return self.at(k + 1).isdigit() and self.at(k + 1).isascii()
        return c.isdigit() and c.isascii()

    def escape(self) -> str:
        """After a backslash: the character it stands for."""
        c = self.at()
        if c == "":
            return "\ufffd"
        self.i += 1
        if c not in _HEX:
            return c
        digits = c
        while len(digits) < 6 and self.at() != "" and self.at() in _HEX:
            digits += self.at()
            self.i += 1
        if self.at(0) == "\r" and self.at(1) == "\n":
            self.i += 2
        elif self.at() != "" and self.at() in _WS:
            self.i += 1
        code = int(digits, 16)
        if code == 0 or 0xD800 <= code <= 0xDFFF or code > 0x10FFFF:
            return "\ufffd"
        return chr(code)

    def name(self) -> str:
        out: List[str] = []
        while True:
            c = self.at()
            if c != "" and _name_char(c):
                out.append(c)
                self.i += 1
            elif self.valid_escape():
                self.i += 1
                out.append(self.escape())
            else:
                return "".join(out)

    def string(self, quote: str) -> Tuple[str, Any]:
        out: List[str] = []
        while True:
            c = self.at()
            if c == "" or c == quote:
                self.i += 1 if c else 0
                return "string", "".join(out)
            if c in "\n\r\f":
                return "bad-string", None
            self.i += 1
            if c != "\\":
                out.append(c)
            elif self.at() == "":
                pass
            elif self.at() in "\n\r\f":
                self.i += 2 if self.at(0) == "\r" and self.at(1) == "\n" else 1
            else:
                out.append(self.escape())

    def number(self) -> Tuple[str, Any]:
        m = _NUMBER.match(self.s, self.i)
        assert m
        self.i = m.end()
        if self.starts_ident():
            return "dimension", (m.group(), self.name())
        if self.at() == "%":
            self.i += 1
            return "percentage", None
        return "number", m.group()

    def next(self) -> _Token:
        # Comments stand for nothing, not even whitespace.
        while self.at(0) == "/" and self.at(1) == "*":
            end = self.s.find("*/", self.i + 2)
            self.i = len(self.s) if end < 0 else end + 2
        start = self.i
        kind, value = self.token()
        return kind, value, start, self.i

    def token(self) -> Tuple[str, Any]:
        c = self.at()
        if c == "":
            return "eof", None
        if c in _WS:
            while self.at() != "" and self.at() in _WS:
                self.i += 1
            return "ws", None
        if c in "\"'":
            self.i += 1
            return self.string(c)
        if c == "#":
            if self.at(1) != "" and _name_char(self.at(1)) or self.valid_escape(1):
                self.i += 1
                is_id = self.starts_ident()
                return "hash", (self.name(), is_id)
        elif c in "+.":
            if self.starts_number():
                return self.number()
        elif c == "-":
            if self.starts_number():
                return self.number()
            if self.starts_ident():
                return self.ident_like()
        elif c.isdigit() and c.isascii():
            return self.number()
        elif c == "\\":
            if self.valid_escape():
                return self.ident_like()
        elif _name_start(c):
            return self.ident_like()
        elif c in "[](),:;{}":
            self.i += 1
            return c, c
        self.i += 1
        return "delim", c

    def ident_like(self) -> Tuple[str, Any]:
        name = self.name()
        if self.at() == "(":
            self.i += 1
            return "function", name
        return "ident", name


def _tokens(text: str) -> List[_Token]:
    # NUL and lone surrogates read as U+FFFD, one character for one, so that
    # positions stay those of the text.
    text = re.sub("[\0\ud800-\udfff]", "\ufffd", text)
    t = _Tokenizer(text)
    out = []
    while True:
        token = t.next()
        out.append(token)
        if token[0] == "eof":
            return out


# Pseudo-classes that only a live document has: rejected, since they can
# never hold in a tree.
_LIVE = frozenset("""hover active focus focus-within focus-visible target target-within current
past future playing paused seeking buffering stalled muted volume-locked fullscreen
picture-in-picture modal popover-open open closed autofill user-valid user-invalid valid invalid
in-range out-of-range indeterminate placeholder-shown read-only read-write default defined
local-link host host-context state blank required optional dir""".split())

# Pseudo-elements: valid at the end of a selector, matching no element.
_PSEUDO_ELEMENTS = frozenset("""before after first-line first-letter marker placeholder selection
backdrop file-selector-button target-text spelling-error grammar-error cue cue-region
details-content""".split())
_PSEUDO_ELEMENT_FUNCTIONS = frozenset("slotted part highlight cue".split())
_LEGACY_PSEUDO_ELEMENTS = frozenset("before after first-line first-letter".split())

# Pseudo-classes written as other selectors.
_DESUGARED = {
    "first-child": ":nth-child(1)",
    "last-child": ":nth-last-child(1)",
    "only-child": ":nth-child(1):nth-last-child(1)",
    "first-of-type": ":nth-of-type(1)",
    "last-of-type": ":nth-last-of-type(1)",
    "only-of-type": ":nth-of-type(1):nth-last-of-type(1)",
    "link": ":is(a, area)[href]",
    "any-link": ":is(a, area)[href]",
    "checked": ":is(input:is([type=checkbox i], [type=radio i])[checked], option[selected])",
}
_FORM = "button, input, select, textarea, fieldset"
_DISABLED = (f":is(:is({_FORM}):is([disabled], fieldset[disabled] > :not(legend:first-of-type),"
             f" fieldset[disabled] > :not(legend:first-of-type) *), optgroup[disabled],"
             f" option:is([disabled], optgroup[disabled] > *))")
_DESUGARED["disabled"] = _DISABLED
_DESUGARED["enabled"] = f":is({_FORM}, optgroup, option):not({_DISABLED})"

# An+B, from the text between the parentheses.
_AN_B = re.compile(r"[ \t\n\r\f]*(?:(odd|even)|([+-]?)(\d*)n(?:[ \t\n\r\f]*([+-])[ \t\n\r\f]*(\d+))?"
                   r"|([+-]?\d+))[ \t\n\r\f]*\Z", re.ASCII | re.IGNORECASE)

_AN_B_WORD = re.compile(r"[-0-9A-Za-z]*")

# Positions among siblings never pass this; An+B is brought within it.
_LIMIT = 1 << 32

# The longest number An+B takes, leading zeros not counted. Far beyond any
# position, and short enough that int() reads it fast whatever limit
# sys.set_int_max_str_digits() has set (640 digits at the least).
MAX_AN_B_DIGITS = 100


def _an_b(a: int, b: int) -> Optional[Tuple[int, int]]:
    """(a, b) within +-2**32 that picks the same positions 1..2**32 as
    a*n + b for n >= 0, or None when it picks none."""
    if a == 0:
        return (0, b) if 1 <= b <= _LIMIT else None
    if a > 0:
        if b > _LIMIT:
            return None
        if b < 1:
            b = b % a or a
        return (a, b) if a <= _LIMIT else ((0, b) if b <= _LIMIT else None)
    if b < 1:
        return None
    if b > _LIMIT:
        b -= -(-(b - _LIMIT) // -a) * -a
        if b < 1:
            return None
    return (a, b) if -a <= _LIMIT else (0, b)


class _Parser:
    """Reads tokens[start:end] (the end exclusive, an "eof" or ")" token)."""

    def __init__(self, compiler: "_Compiler", tokens: List[_Token], start: int, end: int,
                 depth: int) -> None:
        self.c = compiler
        self.t = tokens
        self.i = start
        self.end = end
        self.depth = depth

    def fail(self, message: str, at: Optional[int] = None) -> SelectorError:
        position = self.t[self.i if at is None else at][2]
        return SelectorError(message, self.c.pattern, position)

    def kind(self, k: int = 0) -> str:
        j = self.i + k
        return self.t[j][0] if j < self.end else "eof"

    def value(self, k: int = 0) -> Any:
        return self.t[self.i + k][1]

    def is_delim(self, c: str, k: int = 0) -> bool:
        return self.kind(k) == "delim" and self.value(k) == c

    def skip_ws(self) -> None:
        while self.kind() == "ws":
            self.i += 1

    def close(self, j: int) -> int:
        """The index of the token that closes the block opened at tokens[j]
        (a function or "(" or "["), or of the end when the text ends first.
        A closing token that closes no open block is an ordinary token."""
        want = ["]" if self.t[j][0] == "[" else ")"]
        j += 1
        while j < self.end:
            kind = self.t[j][0]
            if kind in ("function", "("):
                want.append(")")
            elif kind == "[":
                want.append("]")
            elif kind == want[-1]:
                want.pop()
                if not want:
                    return j
            j += 1
        return j

    def after_block(self, close: int) -> None:
        self.i = close + 1 if close < self.end else close

    # Grammar.

    def selector_list(self, relative: bool = False, forgiving: bool = False) -> int:
        """Reads to the end a list of complex selectors; the new list's number."""
        items = []
        while True:
            piece = self.i
            while self.kind() != "eof" and self.kind() != ",":
                if self.kind() in ("function", "(", "["):
                    self.after_block(self.close(self.i))
                else:
                    self.i += 1
            sub = _Parser(self.c, self.t, piece, self.i, self.depth)
            try:
                items.append(sub.complex(relative))
            except SelectorError:
                if not forgiving:
                    raise
            if self.kind() == "eof":
                break
            self.i += 1
        return self.c.add_list(relative, tuple(items))

    def complex(self, relative: bool) -> Tuple[Any, ...]:
        self.skip_ws()
        parts: List[Tuple[int, Any]] = []
        combinator = C_NONE
        if relative:
            combinator = self.combinator() or C_DESCENDANT
        while True:
            if self.kind() == "eof":
                raise self.fail("a selector is missing" if not parts and combinator == C_NONE
                                else "a selector must follow the combinator")
            compound, ends = self.compound()
            parts.append((combinator, compound))
            had_ws = self.kind() == "ws"
            self.skip_ws()
            if self.kind() == "eof":
                return tuple(parts)
            if ends:
                raise self.fail("nothing may follow a pseudo-element")
            combinator = self.combinator() or (C_DESCENDANT if had_ws else C_NONE)
            if combinator == C_NONE:
                raise self.fail(f"unexpected {self.describe()}")

    def combinator(self) -> int:
        for c, kind in ((">", C_CHILD), ("+", C_NEXT), ("~", C_LATER)):
            if self.is_delim(c):
                self.i += 1
                self.skip_ws()
                return kind
        return C_NONE

    def describe(self) -> str:
        kind, value, start, end = self.t[self.i]
        return "the end" if kind == "eof" else repr(self.c.pattern[start:end])

    def compound(self) -> Tuple[Tuple[Optional[str], Tuple[Any, ...]], bool]:
        """A compound selector, and whether it ends in a pseudo-element."""
        start = self.i
        tag = self.type_selector()
        tests: List[Tuple[Any, ...]] = []
        while True:
            kind = self.kind()
            if kind == "hash":
                name, is_id = self.value()
                if not is_id:
                    raise self.fail("an id must be a name")
                tests.append((K_ID, name))
                self.i += 1
            elif self.is_delim("."):
                self.i += 1
                if self.kind() != "ident":
                    raise self.fail("a class name must follow '.'")
                tests.append((K_CLASS, self.value()))
                self.i += 1
            elif kind == "[":
                tests.append(self.attribute())
            elif kind == ":":
                if self.kind(1) == ":":
                    self.i += 2
                    self.pseudo_element()
                    return (tag, ((K_NEVER,),)), True
                self.i += 1
                test = self.pseudo_class()
                if test is None:  # a legacy pseudo-element
                    return (tag, ((K_NEVER,),)), True
                tests.extend(test)
            else:
                break
        if self.i == start:
            raise self.fail(f"expected a selector, not {self.describe()}")
        return (tag, tuple(tests)), False

    def qualified_name(self, attribute: bool) -> str:
        """[prefix|]name: the name, "*" for any, "" when there is none here.
        Only '*|' and '|' are prefixes: names hold no ':', so no other
        namespace can be declared."""
        if self.kind() == "ident" or self.is_delim("*"):
            first = str(self.value()) if self.kind() == "ident" else "*"
            if self.is_delim("|", 1) and not (attribute and self.is_delim("=", 2)):
                if first != "*":
                    raise self.fail(f"the namespace prefix {first!r} is not declared")
                self.i += 2
                return self.local_name(attribute)
            self.i += 1
            return first
        if self.is_delim("|") and not (attribute and self.is_delim("=", 1)):
            self.i += 1
            return self.local_name(attribute)
        return ""

    def local_name(self, attribute: bool) -> str:
        if self.kind() == "ident":
            self.i += 1
            return str(self.value(-1))
        if self.is_delim("*") and not attribute:
            self.i += 1
            return "*"
        raise self.fail("a name must follow '|'")

    def type_selector(self) -> Optional[str]:
        name = self.qualified_name(attribute=False)
        return None if name in ("", "*") else name

    def attribute(self) -> Tuple[Any, ...]:
        close = self.close(self.i)
        inner = _Parser(self.c, self.t, self.i + 1, close, self.depth)
        self.after_block(close)
        inner.skip_ws()
        name = inner.qualified_name(attribute=True)
        if not name or name == "*":
            raise inner.fail("an attribute name must follow '['")
        inner.skip_ws()
        if inner.kind() == "eof":
            return (K_ATTR, name, OP_EXISTS, "", False)
        op = None
        if inner.is_delim("="):
            op, inner.i = OP_EQUALS, inner.i + 1
        elif inner.kind() == "delim" and inner.value() in "~|^$*" and inner.is_delim("=", 1):
            op, inner.i = _OPERATORS[inner.value() + "="], inner.i + 2
        if op is None:
            raise inner.fail(f"expected an operator or ']', not {inner.describe()}")
        inner.skip_ws()
        if inner.kind() not in ("ident", "string"):
            raise inner.fail("expected a value (a name or a quoted string)")
        value = inner.value()
        inner.i += 1
        inner.skip_ws()
        ignore_case = False
        if inner.kind() == "ident" and inner.value().lower() in ("i", "s"):
            ignore_case = inner.value().lower() == "i"
            inner.i += 1
            inner.skip_ws()
        if inner.kind() != "eof":
            raise inner.fail(f"expected ']', not {inner.describe()}")
        return (K_ATTR, name, op, value, ignore_case)

    def argument(self) -> "_Parser":
        """The parser of the current function's argument; moves past it."""
        close = self.close(self.i)
        inner = _Parser(self.c, self.t, self.i + 1, close, self.depth + 1)
        self.after_block(close)
        return inner

    def pseudo_element(self) -> None:
        kind, name = self.kind(), str(self.value()).lower() if self.i < self.end else ""
        if kind == "ident" and name in _PSEUDO_ELEMENTS:
            self.i += 1
        elif kind == "function" and name in _PSEUDO_ELEMENT_FUNCTIONS:
            self.argument().element_argument(name)
        else:
            raise self.fail(f"unknown pseudo-element {self.describe()}")
        if self.depth > 0:
            raise self.fail("a pseudo-element cannot stand inside a pseudo-class", self.i - 1)

    def element_argument(self, name: str) -> None:
        """Checks the argument of ::slotted() (a compound selector), ::part()
        (names), ::highlight() (a name) or ::cue() (a selector list)."""
        if name == "cue":
            self.selector_list()
            return
        self.skip_ws()
        if name == "slotted":
            self.compound()
            self.skip_ws()
        else:
            names = 0
            while self.kind() == "ident" and (names == 0 or name == "part"):
                names += 1
                self.i += 1
                self.skip_ws()
            if names == 0:
                raise self.fail(f"::{name}() takes a name")
        if self.kind() != "eof":
            raise self.fail(f"unexpected {self.describe()}")

    def pseudo_class(self) -> Optional[List[Tuple[Any, ...]]]:
        """The tests a pseudo-class stands for; None for a legacy
        pseudo-element (':before')."""
        kind = self.kind()
        if kind not in ("ident", "function"):
            raise self.fail("a name must follow ':'")
        name = str(self.value()).lower()
        at = self.i
        if kind == "ident":
            self.i += 1
            if name in _LEGACY_PSEUDO_ELEMENTS:
                if self.depth > 0:
                    raise self.fail("a pseudo-element cannot stand inside a pseudo-class", at)
                return None
            if name in ("root", "scope"):
                return [(K_ROOT,)]
            if name == "empty":
                return [(K_EMPTY,)]
            if name == "visited":
                return [(K_NEVER,)]
            if name in _DESUGARED:
                return [(K_IS, self.c.desugared(name))]
        else:
            inner = self.argument()
            if name in ("is", "where"):
                return [(K_IS, inner.selector_list(forgiving=True))]
            if name == "not":
                return [(K_NOT, inner.selector_list())]
            if name == "has":
                if self.c.in_has:
                    raise self.fail(":has() cannot stand inside :has()", at)
                self.c.in_has = True
                try:
                    return [(K_HAS, inner.selector_list(relative=True))]
                finally:
                    self.c.in_has = False
            if name in ("nth-child", "nth-last-child", "nth-of-type", "nth-last-of-type"):
                return [inner.nth(name)]
            if name == "lang":
                return [inner.lang()]
        if name in _LIVE:
            raise self.fail(f"':{name}' depends on a live document's state, which a tree does"
                            " not have", at)
        raise self.fail(f"unknown pseudo-class ':{name}{'()' if kind == 'function' else ''}'", at)

    def nth(self, name: str) -> Tuple[Any, ...]:
        start = self.i
        while self.kind() != "eof" and not (
                self.kind() == "ident" and str(self.value()).lower() == "of"):
            self.i += 1
        # An+B is read from the tokens' values, so that escapes count as
        # the characters they stand for.
        spelled = []
        # (where each token's text starts in the spelled text, and in the pattern)
        starts: List[Tuple[int, int, int]] = []
        length = 0
        for kind, value, begin, end in self.t[start:self.i]:
            if kind in ("ident", "dimension"):
                letters = value if kind == "ident" else value[1]
                # An escape may spell a character An+B has no place for
                # inside a name ("n\ -1", "n\+2"): such a name is no An+B.
                word = letters if kind == "ident" else value[0] + letters
                piece = word if _AN_B_WORD.fullmatch(letters) else "\0"
            elif kind == "ws":
                piece = " "
            else:
                piece = self.c.pattern[begin:end]
            spelled.append(piece)
            starts.append((length, begin, end))
            length += len(piece)
        m = _AN_B.match("".join(spelled))
        if not m:
            raise self.fail("expected An+B (such as 'odd', '3' or '2n+1')", start)

        def number(group: int) -> int:
            text = m.group(group)
            significant = text.lstrip("+-").lstrip("0")
            if len(significant) > MAX_AN_B_DIGITS:
                # Where the first digit stands in the pattern: exact unless
                # an escape spelled some of the text before it.
                offset = m.start(group) + (text[0] in "+-")
                at, begin, end = next(s for s in reversed(starts) if s[0] <= offset)
                position = min(begin + offset - at, end)
                raise SelectorError(f"An+B takes numbers of at most {MAX_AN_B_DIGITS} digits",
                                    self.c.pattern, position)
            value = int(significant or "0")
            return -value if text.startswith("-") else value

        odd_even, sign, digits, b_sign, b_digits, plain = m.groups()
        if odd_even:
            a, b = 2, 1 if odd_even.lower() == "odd" else 0
        elif plain is not None:
            a, b = 0, number(6)
        else:
            a = number(3) if digits else 1
            a = -a if sign == "-" else a
            b = number(5) if b_digits else 0
            b = -b if b_sign == "-" else b
        of = -1
        if self.kind() != "eof":
            if name not in ("nth-child", "nth-last-child"):
                raise self.fail(f"':{name}()' takes no 'of'")
            self.i += 1
            of = self.selector_list()
        picked = _an_b(a, b)
        if picked is None:
            return (K_NEVER,)
        return (K_NTH, picked[0], picked[1], "last" in name, "type" in name, of)

    def lang(self) -> Tuple[Any, ...]:
        ranges = []
        while True:
            self.skip_ws()
            if self.kind() not in ("ident", "string"):
                raise self.fail("expected a language range")
            ranges.append(str(self.value()))
            self.i += 1
            self.skip_ws()
            if self.kind() == "eof":
                return (K_LANG, tuple(ranges))
            if self.kind() != ",":
                raise self.fail(f"expected ',' or ')', not {self.describe()}")
            self.i += 1


class _Compiler:
    def __init__(self, pattern: str) -> None:
        self.pattern = pattern
        self.lists: List[Tuple[Any, ...]] = []
        self.numbers: dict[Tuple[Any, ...], int] = {}
        self.in_has = False
        self.sugar: dict[str, int] = {}

    def add_list(self, relative: bool, items: Tuple[Any, ...]) -> int:
        """The list's number. A list equal to one read before is that one,
        so that a selector that repeats a list (`:nth-child(odd of p)` many
        times) is matched and held once. The selector itself holds every
        list it names, so it equals none of them and stays the last."""
        key = (relative, items)
        number = self.numbers.get(key)
        if number is None:
            number = self.numbers[key] = len(self.lists)
            self.lists.append(key)
        return number

    def desugared(self, name: str) -> int:
        """The list that the pseudo-class `name` stands for, read once."""
        if name not in self.sugar:
            inner = _Compiler(_DESUGARED[name])
            tokens = _tokens(inner.pattern)
            _Parser(inner, tokens, 0, len(tokens) - 1, 1).selector_list()
            offset = len(self.lists)
            self.lists.extend(_renumber(item, offset) for item in inner.lists)
            self.sugar[name] = len(self.lists) - 1
        return self.sugar[name]


def _renumber(selector_list: Tuple[Any, ...], offset: int) -> Tuple[Any, ...]:
    """A list of another program, moved `offset` places down the lists."""
    relative, items = selector_list
    moved = []
    for item in items:
        parts = []
        for combinator, (tag, tests) in item:
            new_tests = []
            for test in tests:
                if test[0] in (K_IS, K_NOT, K_HAS):
                    test = (test[0], test[1] + offset)
                elif test[0] == K_NTH and test[5] >= 0:
                    test = test[:5] + (test[5] + offset,)
                new_tests.append(test)
            parts.append((combinator, (tag, tuple(new_tests))))
        moved.append(tuple(parts))
    return (relative, tuple(moved))


def _check_nesting(tokens: List[_Token], pattern: str) -> None:
    """Raises SelectorError where parentheses (functions included) open
    more than MAX_NESTING deep. A closing token that closes no open block is
    an ordinary token."""
    want: List[str] = []
    parens = 0
    for kind, _, start, _ in tokens:
        if kind in ("function", "(", "["):
            want.append("]" if kind == "[" else ")")
            parens += kind != "["
            if parens > MAX_NESTING:
                raise SelectorError(f"parentheses nest deeper than {MAX_NESTING} levels",
                                    pattern, start)
        elif want and kind == want[-1]:
            parens -= want.pop() == ")"


def parse(pattern: str) -> Tuple[Any, ...]:
    """The program of the selector `pattern`. Raises SelectorError."""
    compiler = _Compiler(pattern)
    tokens = _tokens(pattern)
    _check_nesting(tokens, pattern)
    parser = _Parser(compiler, tokens, 0, len(tokens) - 1, 0)
    parser.skip_ws()
    if parser.kind() == "eof":
        raise parser.fail("the selector is empty")
    parser.selector_list()
    return tuple(compiler.lists)
