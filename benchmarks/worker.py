"""The measuring side of the benchmarks, run as a child process of run.py.

run.py sends one JSON request per line on stdin and reads one JSON reply per
line; the parent owns the clock that kills a child stuck in a slow or
hanging parse, so no input can hang the suite.  Memory requests go to a fresh
child each, so the peak they read belongs to that parse alone.

Requests:
  {"op": "time", "impl": NAME, "doc": DOC, "min_time": s, "repeats": n,
   "budget": s}
  {"op": "mem", "doc": DOC}
DOC is {"path": FILE} or {"family": F, "variant": V, "size": BYTES}.

Before its reply a request may send progress lines, {"event": "ready"} once
the document is loaded and {"event": "first"} after the first timed call (or
"parsed" for memory), so the parent can hold each phase to its own deadline.
Replies carry "status": "ok", "n/a" (implementation not installed),
"timeout" (one call took longer than the budget) or "error".
"""

import gc
import json
import math
import os
import sys
import threading
import time

import families
import peers

_cache_key = None
_cache_doc = None
_replies = None


def emit(obj):
    _replies.write(json.dumps(obj) + "\n")
    _replies.flush()


def load(source):
    """The document as str; the last one is kept, since several
    implementations are timed on each document in turn."""
    global _cache_key, _cache_doc
    key = json.dumps(source, sort_keys=True)
    if key != _cache_key:
        _cache_key = _cache_doc = None
        if "path" in source:
            with open(source["path"], "rb") as f:
                data = f.read()
            doc = data.decode("utf-8")
            del data
        else:
            doc = families.generate(source["family"], source["variant"],
                                   source["size"])
        _cache_key, _cache_doc = key, doc
    return _cache_doc


def time_impl(req):
    doc = load(req["doc"])
    size = len(doc.encode("utf-8"))
    try:
        call = peers.prepare(req["impl"], doc)
    except peers.Unavailable as exc:
        return {"status": "n/a", "error": str(exc), "bytes": size}
    emit({"event": "ready"})
    budget = req["budget"]
    min_time = req["min_time"]
    clock = time.perf_counter

    # The collector stays enabled, as in a user's program; each call's result
    # is dropped before the next call, so freeing it is part of the time.
    gc.collect()
    start = clock()
    call()
    first = clock() - start
    emit({"event": "first"})
    if first > budget:
        return {"status": "timeout", "time": first, "bytes": size}

    # Loops per repeat as timeit.autorange would pick them: enough calls for
    # one repeat to take at least min_time.
    number = 1
    if 0 < first < min_time:
        number = min(1_000_000, math.ceil(min_time / first))
    best = first
    spent = first
    runs = 0
    for _ in range(req["repeats"]):
        # Never let repeats of a slow call run far past the budget.
        if runs and spent + best * number > budget:
            break
        start = clock()
        for _ in range(number):
            call()
        elapsed = clock() - start
        spent += elapsed
        best = min(best, elapsed / number)
        runs += 1
    reply = {"status": "ok", "time": best, "bytes": size,
             "loops": number, "runs": runs}
    if hasattr(call, "blob_bytes"):
        reply["blob_bytes"] = call.blob_bytes
    return reply


# -- memory -------------------------------------------------------------------

def _status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(field)


def _reset_peak():
    # Writing 5 to clear_refs resets VmHWM to the current RSS (Linux 4.0+).
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def _trim():
    # Hand freed heap memory back to the system, so the RSS after parse holds
    # the result and not the parser's released scratch space.
    try:
        import ctypes
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def _deep_size(root):
    seen = set()
    total = 0
    stack = [root]
    while stack:
        obj = stack.pop()
        if id(obj) in seen:
            continue
        seen.add(id(obj))
        total += sys.getsizeof(obj)
        if isinstance(obj, list):
            stack.extend(obj)
        elif isinstance(obj, dict):
            stack.extend(obj.keys())
            stack.extend(obj.values())
    return total


def measure_memory(req):
    try:
        import quillet
    except ImportError as exc:
        return {"status": "n/a", "error": str(exc)}
    parse = quillet.parse
    # One small call first, so what the module sets up once (interned keys,
    # its first allocator arenas) does not count as this document's output.
    parse('<a id="i" class="c" style="s" x="y">t<b/></a>')
    doc = load(req["doc"])
    size = len(doc.encode("utf-8"))
    gc.collect()
    _trim()
    emit({"event": "ready"})
    reset = _reset_peak()
    rss_before = _status("VmRSS")
    peak_before = _status("VmHWM")
    # parse runs on a thread of its own: what it keeps for the next call on
    # its thread (scratch space, not output) is freed when the thread ends,
    # so it counts in the peak but not as output.
    box = []
    thread = threading.Thread(target=lambda: box.append(parse(doc)))
    thread.start()
    thread.join()
    result = box.pop()
    peak = _status("VmHWM")
    emit({"event": "parsed"})
    _trim()
    rss_after = _status("VmRSS")
    reply = {"status": "ok", "bytes": size, "rss_before": rss_before,
             "rss_after": rss_after, "peak": peak, "peak_reset": reset,
             "output_sizeof": _deep_size(result)}
    # Peak beyond input and output: the input is in rss_before, the output
    # is what stays after parse returns (rss_after - rss_before), so what
    # remains of the peak is peak - rss_after.
    if reset or peak > peak_before:
        reply["peak_extra"] = max(0, peak - rss_after)
        reply["exact"] = True
    else:
        # The peak was not reset and parse never passed the earlier peak:
        # only an upper bound is known.
        reply["peak_extra"] = max(0, peak_before - rss_after)
        reply["exact"] = False
    return reply


def main():
    # Replies go through a private copy of stdout; anything the code under
    # test prints lands on stderr instead of in the reply stream.
    global _replies
    _replies = os.fdopen(os.dup(1), "w")
    os.dup2(2, 1)
    sys.stdout = sys.stderr
    limit = os.environ.get("QUILLET_BENCH_MEMORY_LIMIT")
    if limit:
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (int(limit), int(limit)))
    for line in sys.stdin:
        req = json.loads(line)
        try:
            if req["op"] == "time":
                reply = time_impl(req)
            elif req["op"] == "mem":
                reply = measure_memory(req)
            else:
                reply = {"status": "error", "error": "unknown op %r" % req["op"]}
        except MemoryError:
            reply = {"status": "error", "error": "MemoryError"}
        except Exception as exc:  # reported, not fatal: the next request runs
            reply = {"status": "error",
                     "error": "%s: %s" % (type(exc).__name__, exc)}
        emit(reply)


if __name__ == "__main__":
    main()
