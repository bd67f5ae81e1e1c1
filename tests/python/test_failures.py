"""Internal failures, memory exhaustion and reference counting across calls."""
import gc
import subprocess
import sys
import textwrap

import pytest

import quillet

_testcapi = pytest.importorskip("_testcapi")

SAMPLE = '<div id="m" class="a b" data-k="v">text <b>bold</b><br/> tail</div> after'


def parse_failing_at(n):
    """Calls parse with the interpreter's n-th allocation failing; returns what it raised."""
    _testcapi.set_nomemory(n, n + 1)
    try:
        quillet.parse(SAMPLE)
    finally:
        _testcapi.remove_mem_hooks()


def test_every_injected_failure_is_clean(capfd):
    """Whatever single allocation fails, the call fails cleanly and the next one works."""
    expected = quillet.parse(SAMPLE)
    panics = []
    for n in range(500):
        try:
            parse_failing_at(n)
            break
        except MemoryError:
            pass
        except Exception:  # an internal failure must get through this
            raise
        except BaseException as exc:  # noqa: B036
            panics.append((n, exc))
        assert quillet.parse(SAMPLE) == expected
    else:
        pytest.fail("parse never got through")
    assert panics, "no allocation inside the conversion could be made to fail"
    assert len({type(exc) for _, exc in panics}) == 1  # one class, created once

    n, exc = panics[0]
    cls = type(exc)
    assert (cls.__name__, cls.__module__, cls.__bases__) == (
        "PanicException", "corvane_runtime", (BaseException,))
    assert not hasattr(quillet, "PanicException")
    (message,) = exc.args
    assert message == "Python API call failed" or message.startswith(
        "called `Result::unwrap()` on an `Err` value")
    assert "quillet: internal failure at src/" in capfd.readouterr().err


def test_exhausted_memory_in_the_engine_raises_memory_error():
    # In a child process: cap the address space, then hand the engine a text
    # whose tag index (several bytes a tag) cannot fit under the cap.
    script = textwrap.dedent(
        """
        import resource, quillet
        text = "<a>" * (20 << 20)
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
    if sys.version_info < (3, 12):  # later versions make interned strings immortal
        assert sys.getrefcount("tag") > before[0]  # the last tree holds the shared keys
    del tree
    assert [sys.getrefcount(k) for k in keys] + [sys.getrefcount(text)] == before
