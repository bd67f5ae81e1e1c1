"""The distribution: an sdist that builds, a wheel built from that sdist, and the
Python tests (examples and type checks included) run against the wheel installed
in a fresh virtual environment, from a copy of the tests outside the source tree.

Needs `build` and network access to the package index for the build
requirements and the test dependencies; builds with CMAKE_BUILD_PARALLEL_LEVEL=2
unless the environment sets it. With QUILLET_DIST set to the folder that
scripts/test_wheels.py fills, it takes the sdist and the repaired (manylinux)
wheel for this interpreter from there instead of building them.
"""
import importlib.metadata
import os
import pathlib
import sys
import tarfile
import zipfile

import pytest

from installed_copy import ROOT, call, copy_tests, install_wheel, run_suite


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    if os.environ.get("QUILLET_DIST"):
        built = pathlib.Path(os.environ["QUILLET_DIST"])
        tag = f"cp{sys.version_info[0]}{sys.version_info[1]}"
        found = [*built.glob("dist/quillet-*.tar.gz"),
                 *built.glob(f"wheelhouse/quillet-*-{tag}-{tag}-manylinux*.whl")]
        assert len(found) == 2, f"no sdist or no {tag} manylinux wheel in {built}: {found}"
        return tuple(found)
    try:
        importlib.metadata.version("build")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("the build frontend is not installed (pip install build)")
    out = tmp_path_factory.mktemp("dist")
    # From another folder: a build/ folder in the work tree would shadow the frontend.
    call(sys.executable, "-m", "build", "--sdist", "--outdir", out, ROOT, cwd=out)
    (sdist,) = out.glob("quillet-*.tar.gz")
    env = dict(os.environ)
    env.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", "2")
    call(sys.executable, "-m", "pip", "wheel", "--no-deps", "--wheel-dir", out, sdist, env=env,
         cwd=out)
    (wheel,) = out.glob("quillet-*.whl")
    return sdist, wheel


def test_sdist_holds_the_sources_and_nothing_built(dist):
    with tarfile.open(dist[0]) as tar:
        names = {name.split("/", 1)[1] for name in tar.getnames() if "/" in name}
    for needed in ["CMakeLists.txt", "pyproject.toml", "LICENSE", "README.md", "CHANGELOG.md",
                   "PKG-INFO", "quillet-stubs/__init__.pyi", "src/lib/py_module.cpp",
                   "tests/cpp/CMakeLists.txt", "tests/python/test_tree.py", "examples/sample.html",
                   "src/tree/module.cpp", "src/tree/quillet_tree/__init__.py"]:
        assert needed in names
    stray = [n for n in names if n.startswith(("build", "dist/", ".")) or "__pycache__" in n
             or n.endswith((".so", ".o", ".a", ".pyc", ".whl"))]
    assert not stray


def test_wheel_contents_and_metadata(dist):
    with zipfile.ZipFile(dist[1]) as whl:
        names = whl.namelist()
        metadata = whl.read("quillet-0.1.0.dist-info/METADATA").decode()
        scripts = whl.read("quillet-0.1.0.dist-info/entry_points.txt").decode()
    assert "[console_scripts]\nquillet = quillet_tree._cli:main" in scripts
    # auditwheel's repaired wheels list folders too ("quillet-stubs/").
    modules = [n for n in names
               if not n.startswith("quillet-0.1.0.dist-info/") and not n.endswith("/")]
    assert len(modules) == 12 and "quillet-stubs/__init__.pyi" in modules
    assert [n for n in modules if n.startswith("quillet.") and n.endswith(".so")]
    assert {"quillet_tree/__init__.py", "quillet_tree/_selectors.py", "quillet_tree/_encoding.py",
            "quillet_tree/_text.py", "quillet_tree/_cli.py", "quillet_tree/__main__.py",
            "quillet_tree/_native.pyi", "quillet_tree/py.typed"} < set(modules)
    assert [n for n in modules if n.startswith("quillet_tree/_native.") and n.endswith(".so")]
    assert "quillet-0.1.0.dist-info/licenses/LICENSE" in names
    for field in ["Name: quillet", "Version: 0.1.0", "License-Expression: MIT",
                  "Requires-Python: >=3.9", "Summary: ", "Classifier: Typing :: Typed"]:
        assert f"\n{field}" in metadata


def test_python_suite_against_the_installed_wheel(dist, tmp_path):
    python = install_wheel(sys.executable, dist[1], ["test", "typing"], tmp_path / "venv")
    copy_tests(tmp_path / "copy")
    # The slow tests have run against the module built from the checkout.
    out = run_suite(python, tmp_path / "copy", "-m", "not slow", "tests/python", "tests/typing")
    assert out.returncode == 0, out.stdout[-5000:] + out.stderr[-5000:]
    assert "is not installed" not in out.stdout  # the type checks ran
    print(out.stdout.splitlines()[-1])
