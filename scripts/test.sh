#!/usr/bin/env bash
# Installs what the tests need, then runs every test: the GoogleTest suite
# (built with CMake and Ninja into build-ci/, run by ctest), then pytest
# against the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ ! -f /usr/include/gtest/gtest.h ]; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y libgtest-dev
fi
command -v cmake >/dev/null && command -v ninja >/dev/null || python3 -m pip install cmake ninja

python3 -m pip install ".[test]"

cmake -S . -B build-ci -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLET_BUILD_TESTS=ON \
  -DPython_EXECUTABLE="$(command -v python3)"
cmake --build build-ci -j2

# Both suites run even when the first fails; the exit status reports either.
status=0
ctest --test-dir build-ci --output-on-failure -j2 || status=1
QUILLET_REFERENCE_DIR="$PWD/build-ci/reference" python3 -m pytest tests/python || status=1

# Distribution: build the sdist and a wheel from it, install the wheel into a
# fresh virtual environment and run the Python tests, the examples and the
# type checks (mypy --strict, pyright, stubtest) against that installed copy.
python3 -m pip install build
QUILLET_REFERENCE_DIR="$PWD/build-ci/reference" python3 -m pytest tests/packaging || status=1
exit "$status"
