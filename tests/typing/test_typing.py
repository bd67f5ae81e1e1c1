"""The installed type information: mypy (strict) and pyright accept usage.py and
usage_tree.py and report every mistake marked in misuse.py; mypy's stubtest
finds the stubs of quillet, and the inline types of quillet_tree, consistent
with the modules. Runs against the quillet installed for this
interpreter, from a folder outside the source tree."""
import importlib.metadata
import importlib.util
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

HERE = pathlib.Path(__file__).resolve().parent

CHECKERS = {
    # name: (command after `python -m`, pattern of an error line, giving its line number)
    "mypy": (["mypy", "--strict", "--no-incremental"], r"^{file}:(\d+): error:"),
    "pyright": (["pyright", "--pythonpath", sys.executable], r"^\s*\S*{file}:(\d+):\d+ - error:"),
}


def checker(name):
    if importlib.util.find_spec(name) is None:
        pytest.skip(f"{name} is not installed (pip install '.[typing]')")
    return CHECKERS[name]


def run(args, tmp_path):
    out = subprocess.run([sys.executable, "-m", *args], cwd=tmp_path, capture_output=True,
                         text=True, timeout=300)
    return out.returncode, out.stdout + out.stderr


def test_stubs_come_with_the_installed_distribution():
    files = {str(f) for f in importlib.metadata.files("quillet") or []}
    assert "quillet-stubs/__init__.pyi" in files
    assert {"quillet_tree/__init__.py", "quillet_tree/_native.pyi", "quillet_tree/py.typed"} <= files


@pytest.mark.parametrize("name", CHECKERS)
@pytest.mark.parametrize("file", ["usage.py", "usage_tree.py", "misuse.py"])
def test_checker(name, file, tmp_path):
    command, pattern = checker(name)
    shutil.copy(HERE / file, tmp_path)
    status, output = run([*command, file], tmp_path)
    reported = {int(m.group(1)) for m in re.finditer(pattern.format(file=re.escape(file)),
                                                        output, re.M)}
    lines = (HERE / file).read_text().splitlines()
    marked = {n for n, line in enumerate(lines, 1) if "# error" in line}
    assert reported == marked, output
    assert (status == 0) == (not marked), output
    if name == "pyright":
        assert " 0 warnings" in output, output  # a missing stub or module shows as a warning


@pytest.mark.parametrize("module", ["quillet", "quillet_tree"])
def test_stubs_match_the_module(module, tmp_path):
    checker("mypy")
    status, output = run(["mypy.stubtest", module, "--allowlist",
                          str(HERE / "stubtest-allowlist.txt"), "--ignore-unused-allowlist"], tmp_path)
    assert status == 0, output
