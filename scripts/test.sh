#!/usr/bin/env bash
# Installs what the tests need, then runs every test: the GoogleTest suite
# (built with CMake and Ninja into build-ci/, run by ctest), then pytest
# against the installed module, a manylinux wheel for each supported CPython
# the machine carries and for a free-threaded CPython 3.13 (built once per
# machine if need be), each tested in its own venv (build-wheels/), the
# distribution test, the GoogleTest suite again under AddressSanitizer,
# UndefinedBehaviorSanitizer and LeakSanitizer (build-asan/), and a
# one-minute smoke run of each fuzz target (build-fuzz/).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ ! -f /usr/include/gtest/gtest.h ]; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y libgtest-dev
fi
# clang and its libFuzzer runtime, for the fuzz targets.
if ! command -v clang++ >/dev/null || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y clang libclang-rt-dev
fi
command -v cmake >/dev/null && command -v ninja >/dev/null || python3 -m pip install cmake ninja

# lxml: what test_source compares the layout of pre blocks with (the tests
# that need it skip without it, as in the wheels' venvs).
python3 -m pip install ".[test]" lxml

cmake -S . -B build-ci -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLET_BUILD_TESTS=ON \
  -DPython_EXECUTABLE="$(command -v python3)"
cmake --build build-ci -j2

# Both suites run even when the first fails; the exit status reports either.
status=0
ctest --test-dir build-ci --output-on-failure -j2 || status=1
QUILLET_REFERENCE_DIR="$PWD/build-ci/reference" python3 -m pytest tests/python || status=1

# Wheels: the sdist, then for each CPython from 3.9 on that pyenv lists, a
# wheel built from it and repaired by auditwheel to a manylinux tag, installed
# into a fresh venv of that interpreter and tested (-m "not slow"), but for
# this interpreter's, which the distribution test below tests; twine checks
# them all. Prints a line per version.
# Last comes the free-threaded CPython 3.13t that scripts/free_threaded_python.sh
# finds or builds (once per machine, outside the clone): its wheel is tested
# the same way, then the thread-stress module runs there for 100 rounds.
free_threaded=()
if ft_python="$(bash scripts/free_threaded_python.sh)"; then
  free_threaded=(--free-threaded "$ft_python")
else
  echo "no free-threaded CPython: its wheel is not tested" >&2
  status=1
fi
QUILLET_REFERENCE_DIR="$PWD/build-ci/reference" python3 scripts/test_wheels.py --out build-wheels \
  --no-suite-for-this-python "${free_threaded[@]}" || status=1

# Distribution: the sdist and the repaired wheel of this interpreter from
# build-wheels/, checked, then the wheel installed into a fresh virtual
# environment and the Python tests (-m "not slow": the slow ones ran above,
# against the same code), the examples and the type checks (mypy --strict,
# pyright, stubtest) run against that installed copy.
python3 -m pip install build
QUILLET_DIST="$PWD/build-wheels" QUILLET_REFERENCE_DIR="$PWD/build-ci/reference" \
  python3 -m pytest tests/packaging || status=1

# The C++ suite under the sanitizers; LeakSanitizer runs at each test's exit.
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLET_BUILD_TESTS=ON \
  -DQUILLET_SANITIZE=ON -DPython_EXECUTABLE="$(command -v python3)"
cmake --build build-asan -j2
ctest --test-dir build-asan --output-on-failure -j2 || status=1

# Fuzz smoke runs: a minute each, from a small seed corpus (fuzz/README.md).
# The step-by-step engine takes seconds on some 2 KB inputs under the
# sanitizers, so the smoke run of the differential target stays at 512 bytes.
python3 -m pip install atheris
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUILLET_BUILD_FUZZERS=ON
cmake --build build-fuzz -j2
rm -rf build-fuzz/seeds build-fuzz/runs
python3 fuzz/make_seeds.py --out build-fuzz/seeds --pieces 1
mkdir -p build-fuzz/runs/parse build-fuzz/runs/compositions build-fuzz/runs/atheris build-fuzz/runs/tree \
  build-fuzz/runs/select
run_flags=(-max_total_time=60 -print_final_stats=1 -artifact_prefix=build-fuzz/runs/)
fuzz_flags=("${run_flags[@]}" -dict=fuzz/markup.dict)
build-fuzz/fuzz/fuzz_parse_differential "${fuzz_flags[@]}" -max_len=512 -timeout=120 \
  build-fuzz/runs/parse build-fuzz/seeds/corpus-parse || status=1
build-fuzz/fuzz/fuzz_detector_compositions "${fuzz_flags[@]}" -timeout=60 \
  build-fuzz/runs/compositions build-fuzz/seeds/corpus-compositions || status=1
QUILLET_REFERENCE_DIR="$PWD/build-ci/reference" python3 fuzz/parse_atheris.py "${fuzz_flags[@]}" \
  -timeout=60 build-fuzz/runs/atheris build-fuzz/seeds/corpus-parse || status=1
# The tree helpers: its inputs are the generator's choices, so no seeds and
# no dictionary; a helper looping on a cycle is a timeout.
python3 fuzz/tree_atheris.py "${run_flags[@]}" -timeout=10 -rss_limit_mb=4096 build-fuzz/runs/tree \
  || status=1
# Selectors against the oracle, from the selector generator's choices likewise.
python3 fuzz/select_atheris.py "${run_flags[@]}" -timeout=10 -rss_limit_mb=4096 build-fuzz/runs/select \
  || status=1
exit "$status"
