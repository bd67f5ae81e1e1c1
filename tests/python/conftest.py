"""Markers for the tests of limits: `slow` ones run by default (CI runs them
all; deselect with -m "not slow"), `bigmem` ones need several GiB of memory
and skip themselves when the machine has too little, or when
QUILLET_SKIP_BIGMEM is set."""
import os

import pytest


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: takes seconds to minutes")
    config.addinivalue_line("markers", "bigmem(gib): needs about this many GiB of free memory")


def available_gib():
    try:
        with open("/proc/meminfo") as f:
            return next(int(line.split()[1]) for line in f if line.startswith("MemAvailable:")) / (1 << 20)
    except (OSError, StopIteration):
        return 0.0


def pytest_runtest_setup(item):
    marker = item.get_closest_marker("bigmem")
    if marker is None:
        return
    if os.environ.get("QUILLET_SKIP_BIGMEM"):
        pytest.skip("QUILLET_SKIP_BIGMEM is set")
    need = marker.args[0]
    if available_gib() < need:
        pytest.skip(f"needs {need} GiB of free memory, {available_gib():.1f} available")
