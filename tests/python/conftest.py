"""Markers for the tests of limits: `slow` ones run by default (CI runs them
all; deselect with -m "not slow"), `bigmem` ones need several GiB of memory
and skip themselves when the machine has too little, or when
QUILLET_SKIP_BIGMEM is set. `memory_cap` ones run with the address space
capped a few GiB above what the process holds (`memory_cap(gib)`: that many),
so that a fault that makes a helper grow without end fails the test instead
of exhausting the machine.

Child processes that are sent SIGINT must be able to take it: when the
suite is started with SIGINT ignored (in the background of a script, under
nohup), every child would inherit that, so the suite takes SIGINT itself."""
import os
import resource
import signal

import pytest

# The shared checks report their operands, as asserts in test modules do.
pytest.register_assert_rewrite("tree_checks")

CAP_GIB = 3


def pytest_configure(config):
    if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
        signal.signal(signal.SIGINT, signal.default_int_handler)
    config.addinivalue_line("markers", "slow: takes seconds to minutes")
    config.addinivalue_line("markers", "bigmem(gib): needs about this many GiB of free memory")
    config.addinivalue_line("markers", f"memory_cap(gib={CAP_GIB}): runs with at most gib GiB more address space")


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


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_call(item):
    """The cap holds for the test's body only (and children it forks), not
    for the fixtures around it."""
    marker = item.get_closest_marker("memory_cap")
    if marker is None:
        yield
        return
    gib = marker.args[0] if marker.args else CAP_GIB
    before = resource.getrlimit(resource.RLIMIT_AS)
    with open("/proc/self/statm") as f:
        cap = int(f.read().split()[0]) * resource.getpagesize() + int(gib * (1 << 30))
    if before[1] != resource.RLIM_INFINITY:
        cap = min(cap, before[1])
    resource.setrlimit(resource.RLIMIT_AS, (cap, before[1]))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_AS, before)
