"""The Python tests run against an installed quillet: a wheel installed into a
fresh virtual environment, and a copy of the tests outside the source tree, so
that the module they import is the installed one and never the work tree's.

Shared by test_distribution.py and scripts/test_wheels.py.
"""
import pathlib
import shutil
import subprocess

ROOT = pathlib.Path(__file__).resolve().parents[2]
COPIED = ["tests/python", "tests/data", "tests/typing", "examples", "docs"]


def call(*args, **kwargs):
    """Runs a command to its end (20 minutes at most) and returns its standard output;
    raises AssertionError with the end of its output if it fails."""
    out = subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=1200,
                         **kwargs)
    if out.returncode != 0:
        raise AssertionError(f"{' '.join(map(str, args))} exited {out.returncode}\n"
                             + out.stdout[-5000:] + out.stderr[-5000:])
    return out.stdout


def install_wheel(base_python, wheel, extras, venv, env=None):
    """Makes a virtual environment `venv` with `base_python`, installs `wheel` with
    `extras` into it (pip run with the environment `env`, if given), checks that
    quillet imports from there and returns the environment's python."""
    call(base_python, "-m", "venv", venv)
    python = pathlib.Path(venv) / "bin" / "python"
    call(python, "-m", "pip", "install", "--quiet", f"{wheel}[{','.join(extras)}]", env=env)
    where = call(python, "-c", "import quillet; print(quillet.__file__)", cwd=pathlib.Path(venv).parent)
    if not where.startswith(str(venv)):
        raise AssertionError(f"quillet imported from {where}")
    return python


def copy_tests(copy):
    """Copies the tests, the examples and the documentation they check to `copy`."""
    for part in COPIED:
        shutil.copytree(ROOT / part, copy / part, ignore=shutil.ignore_patterns("__pycache__"))
    shutil.copy(ROOT / "README.md", copy)
    corpus = ROOT.parent / "shared"
    if corpus.is_dir():  # where the differential test looks for the corpus
        (copy.parent / "shared").symlink_to(corpus)


def run_suite(python, copy, *pytest_args, env=None):
    """pytest with `pytest_args` under `python`, in `copy` (with the environment
    `env`, if given): a finished CompletedProcess."""
    # The leak checks of test_failures.py count allocated blocks against limits
    # tuned in the main interpreter, which imports far more at start-up; in a
    # bare venv they see 30 to 105 blocks of noise (no growth per call) and
    # fail at random. They say nothing about the installed copy: the main run
    # keeps them.
    return subprocess.run([str(python), "-m", "pytest", "-p", "no:cacheprovider", "-q", "-rs",
                           "--ignore", "tests/python/test_failures.py", *pytest_args],
                          cwd=copy, capture_output=True, text=True, timeout=1200, env=env)
