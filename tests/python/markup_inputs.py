"""Inputs shared by the tests that generate markup and by the fuzz scripts:
the pieces, characters, hand-picked cases and input families of
tests/data/markup_inputs.txt (its top says how it is written), which the C++
differential test reads too."""
import pathlib
import re

DATA = pathlib.Path(__file__).resolve().parents[1] / "data" / "markup_inputs.txt"

_ESCAPES = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", "|": "|"}
_HEX_DIGITS = {"x": 2, "u": 4, "U": 8}
_COUNT = re.compile(r"(\d+|n(?:[-+]\d)?)\*")


def _parts(line):
    """The parts of a line split at each "|" that is not escaped, each as
    (count, text) with count the raw COUNT or None, escapes resolved."""
    parts, text, i = [], [], 0
    count = _COUNT.match(line)
    if count:
        i = count.end()
    while i < len(line):
        c = line[i]
        if c == "|":
            parts.append((count and count.group(1), "".join(text)))
            text = []
            count = _COUNT.match(line, i + 1)
            i = count.end() if count else i + 1
            continue
        if c == "\\":
            kind = line[i + 1]
            if kind in _HEX_DIGITS:
                digits = line[i + 2:i + 2 + _HEX_DIGITS[kind]]
                text.append(chr(int(digits, 16)))
                i += 2 + len(digits)
                continue
            text.append(_ESCAPES[kind])
            i += 2
            continue
        text.append(c)
        i += 1
    parts.append((count and count.group(1), "".join(text)))
    return parts


def _load():
    sections, current = {}, None
    for line in DATA.read_text(encoding="utf-8").split("\n"):
        if not line or line.startswith("#"):
            continue
        if line.startswith("[") and line.endswith("]"):
            current = sections.setdefault(line[1:-1], [])
            continue
        current.append(line)
    return sections


_SECTIONS = _load()


def _count(raw, n):
    if raw is None:
        return 1
    if raw.startswith("n"):
        assert n is not None, f"a size n outside [families]: {raw}"
        return n + int(raw[1:] or 0)
    return int(raw)


def _build(line, n=None):
    return "".join(text * _count(raw, n) for raw, text in _parts(line))


PIECES = [_build(line) for line in _SECTIONS["pieces"]]
"""Short pieces that, joined at random, hit every rule of the element scan."""
CHARACTERS = _build(_SECTIONS["characters"][0])
"""The characters markup is made of, for inputs drawn one character at a time."""
CASES = [_build(line) for line in _SECTIONS["cases"]]
"""Whole documents picked by hand, one rule or trap each."""


def families(n):
    """The input shapes that make a step-by-step scan slow, at size n >= 1."""
    return [_build(line, n) for line in _SECTIONS["families"]]


TEXT_PIECES = [_build(line) for line in _SECTIONS["text pieces"]]
"""Short pieces of text runs that, joined at random, hit every rule of visible text."""
TEXT_FAMILIES = _SECTIONS["text families"]
"""The shapes of text runs that make a reader of them slow, as written (ids for tests)."""


def text_families(n):
    """TEXT_FAMILIES at size n >= 1."""
    return [_build(line, n) for line in TEXT_FAMILIES]


def random_text(rng, count):
    """`count` pieces drawn with `rng` (a random.Random) and joined."""
    return "".join(rng.choices(PIECES, k=count))
