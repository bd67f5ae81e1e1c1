"""atheris harness over quillet_tree's selectors.

    python3 fuzz/select_atheris.py [libFuzzer flags] [corpus folders]

The input's bytes are the choices of the generator the selector tests use
(tests/python/selector_gen.py): a small element tree and a selector from a
grammar that reaches every feature, sometimes cut or given a stray
character. select, select_one, compile and drop then run on them against
tests/python/selector_oracle.py (check_selector): the same validity, the
same elements in the same order, drop's tree equal and new. No function may
raise SystemError.
"""
import pathlib
import sys

import atheris
import hypothesis  # noqa: F401 - imported before instrumenting, so left out of it

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))
with atheris.instrument_imports(include=["selector_gen", "selector_oracle"]):
    from selector_gen import Gen, check_selector


@atheris.instrument_func
def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    gen = Gen(lambda n: fdp.ConsumeIntInRange(0, n - 1))  # 0 once the bytes run out
    tree = gen.tree()
    check_selector(tree, gen.selector())


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
