// The operations of the quillet_tree._native module, one per source file.
//
// Each takes borrowed arguments and returns a new reference, or nullptr with
// a Python exception set (MemoryError when memory runs out). None recurses:
// every walk keeps its own stack on the heap, so any depth works, and every
// walk follows the rules of walk.hpp: what it walks is held, a list or dict
// inside itself is a ValueError, and signal handlers run as it goes.
#pragma once

#include <Python.h>

namespace quillet::tree {

// json_write.cpp: the JSON text json.dumps(obj, ensure_ascii=...) writes, for
// obj made of dict, list, tuple, str, int, float, bool and None. A new str.
PyObject* to_json(PyObject* obj, bool ensure_ascii);

// json_read.cpp: the object json.loads(text) returns. A new reference.
PyObject* from_json(PyObject* text);

// copy.cpp: a deep copy of `obj`, as copy.deepcopy makes it. A new reference.
PyObject* deep_copy(PyObject* obj);

// equal.cpp: whether `a == b`, as Python compares them. A new reference to
// True or False.
PyObject* equal(PyObject* a, PyObject* b);

// text_runs.cpp: a new list of the text runs of `node` (a text run, an
// element, a list of nodes or None) in document order, leaving out the
// subtrees of elements whose tag is in `skip` (a set, or nullptr).
PyObject* text_runs(PyObject* node, PyObject* skip);

// markup_write.cpp: the markup of `node` (a text run, an element, a list of
// nodes or None), ValueError where an element shows that no markup gives
// it. A new str. (The Python half reads it back to check the rest.)
PyObject* to_markup(PyObject* node);

}  // namespace quillet::tree
