"""Internal failures, memory exhaustion and reference counting across calls."""
import gc
import subprocess
import sys
import textwrap

import pytest

import quillet

_testcapi = pytest.importorskip("_testcapi")

SAMPLE = '<div id="m" class="a b" data-k="v">text <b>bold</b><br/> tail</div> after'


def parse_failing_at(n, text=SAMPLE):
    """Calls parse with the interpreter's n-th allocation failing; returns what it raised."""
    _testcapi.set_nomemory(n, n + 1)
    try:
        quillet.parse(text)
    except BaseException as e:  # noqa: B036 -- the point is what gets through
        return e
    finally:
        _testcapi.remove_mem_hooks()
    return None


def find_panic():
    """The first failure injected into parse that surfaces as the internal-failure exception."""
    for n in range(500):
        exc = parse_failing_at(n)
        if exc is None:
            break
        if type(exc).__name__ == "PanicException":
            return n, exc
    pytest.fail("no allocation inside the conversion could be made to fail")


def test_failed_object_creation_raises_panic_exception(capfd):
    n, exc = find_panic()
    cls = type(exc)
    assert cls.__name__ == "PanicException"
    assert cls.__module__ == "corvane_runtime"
    assert cls.__bases__ == (BaseException,)
    assert not isinstance(exc, Exception)
    (message,) = exc.args
    assert message == "Python API call failed" or message.startswith(
        "called `Result::unwrap()` on an `Err` value")
    assert "quillet: internal failure at src/" in capfd.readouterr().err

    # Raised for real: `except Exception` lets it through, `except BaseException` stops it.
    caught_by = None
    try:
        try:
            _testcapi.set_nomemory(n, n + 1)
            try:
                quillet.parse(SAMPLE)
            finally:
                _testcapi.remove_mem_hooks()
        except Exception:
            caught_by = "Exception"
    except BaseException as again:  # noqa: B036
        caught_by = "BaseException"
        assert type(again) is cls  # one class, created once
    assert caught_by == "BaseException"
    assert not hasattr(quillet, "PanicException")
    assert quillet.parse("hello") == ["hello"]


def test_every_injected_failure_is_clean():
    """Whatever single allocation fails, the call fails cleanly and the next one works."""
    expected = quillet.parse(SAMPLE)
    for n in range(500):
        exc = parse_failing_at(n)
        if exc is None:
            break
        assert type(exc).__name__ in ("MemoryError", "PanicException"), repr(exc)
        assert quillet.parse(SAMPLE) == expected
    else:
        pytest.fail("parse never got through")


def test_exhausted_memory_in_the_engine_raises_memory_error():
    # In a child process: cap the address space, then hand the engine a text
    # whose decoded form (4 bytes a character) cannot fit under the cap.
    script = textwrap.dedent(
        """
        import resource, quillet
        text = "a" * (64 << 20)
        with open("/proc/self/status") as f:
            size = next(int(l.split()[1]) for l in f if l.startswith("VmSize:")) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (size + (128 << 20), resource.RLIM_INFINITY))
        try:
            quillet.parse(text)
        except MemoryError:
            print("MemoryError")
        del text
        print(quillet.parse("hello"))
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split("\n")[:2] == ["MemoryError", "['hello']"]


CALLS = [
    ("elements", lambda: quillet.parse(SAMPLE * 3)),
    ("text", lambda: quillet.parse("plain \u00e9 text")),
    ("empty", lambda: quillet.parse("")),
    ("keyword", lambda: quillet.parse(input=SAMPLE)),
    ("wrong type", lambda: quillet.parse(42)),
    ("surrogate", lambda: quillet.parse("\udc80")),
    ("missing", lambda: quillet.parse()),
    ("unexpected keyword", lambda: quillet.parse(text="x")),
]


@pytest.mark.parametrize("call", [c for _, c in CALLS], ids=[name for name, _ in CALLS])
def test_no_leak_over_many_calls(call):
    def run(times):
        for _ in range(times):
            try:
                call()
            except (TypeError, UnicodeEncodeError):
                pass

    run(200)  # warm up caches and free lists
    gc.collect()
    before = sys.getallocatedblocks()
    run(3000)
    gc.collect()
    assert sys.getallocatedblocks() - before < 30


def test_interned_keys_and_input_are_not_kept():
    text = SAMPLE * 5
    keys = ["tag", "id", "classes", "style", "is_self_closing", "children"]
    quillet.parse(text)
    before = [sys.getrefcount(k) for k in keys] + [sys.getrefcount(text)]
    for _ in range(1000):
        tree = quillet.parse(text)
    assert sys.getrefcount("tag") > before[0]  # the last tree holds the shared keys
    del tree
    assert [sys.getrefcount(k) for k in keys] + [sys.getrefcount(text)] == before
