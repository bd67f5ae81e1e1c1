"""atheris harness over the installed quillet module.

    python3 fuzz/parse_atheris.py [libFuzzer flags] [corpus folders]

Each input becomes one str, built in one of four ways: any code points (lone
surrogates and NULs included), UTF-8 bytes decoded with surrogateescape
(lone low surrogates), a short piece repeated up to 100,000 times (very long
runs), or bytes mapped onto the characters markup is made of (the
[characters] of tests/data/markup_inputs.txt). parse must then raise
UnicodeEncodeError exactly when the str holds a surrogate, and otherwise return
a tree of the documented shape whose text runs come from the input.
With QUILLET_REFERENCE_DIR naming the folder of _quillet_reference (built with
the C++ tests), texts up to 512 characters are also compared with the
step-by-step engine (whose time grows with the cube of the length on runs of
unclosed brackets: 0.3 s at 512 characters, 22 s at 2,048).

quillet itself is not instrumented for coverage: atheris steers by the
harness's own branches (which input mode, which node shapes came back), so
this is mostly mutation-driven random testing of the whole module.
"""
import json
import os
import pathlib
import sys

import atheris

import quillet

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))
from markup_inputs import CHARACTERS  # noqa: E402
from tree_shape import check_tree  # noqa: E402

if os.environ.get("QUILLET_REFERENCE_DIR"):
    sys.path.insert(0, os.environ["QUILLET_REFERENCE_DIR"])
try:
    import _quillet_reference as reference
except ImportError:
    reference = None

# atheris steers by the harness's branches, the shared checker's included.
atheris.instrument_func(check_tree)


@atheris.instrument_func
def make_text(data):
    fdp = atheris.FuzzedDataProvider(data)
    mode = fdp.ConsumeIntInRange(0, 3)
    if mode == 0:
        return fdp.ConsumeUnicode(fdp.remaining_bytes())
    if mode == 1:
        return fdp.ConsumeBytes(fdp.remaining_bytes()).decode("utf-8", "surrogateescape")
    if mode == 2:
        piece = fdp.ConsumeUnicodeNoSurrogates(8)
        return piece * fdp.ConsumeIntInRange(1, 100_000) + fdp.ConsumeUnicodeNoSurrogates(64)
    return "".join(CHARACTERS[b % len(CHARACTERS)] for b in fdp.ConsumeBytes(fdp.remaining_bytes()))


@atheris.instrument_func
def test_one_input(data):
    text = make_text(data)
    surrogate = any("\ud800" <= c <= "\udfff" for c in text)
    try:
        tree = quillet.parse(text)
    except UnicodeEncodeError:
        assert surrogate, "UnicodeEncodeError without a surrogate"
        return
    assert not surrogate, "a surrogate went through"
    check_tree(tree, text)
    if reference is not None and len(text) <= 512:
        # json keeps the key order, so the order of keys is compared too
        assert json.dumps(tree) == json.dumps(reference.parse(text)), repr(text)


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
