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

// source.cpp: (tree, spans) for `text` (a str): the tree parse makes, and
// bytes holding four native 32-bit numbers per element in document order:
// where its start tag begins, where its content begins and ends, and where
// it ends.
PyObject* parse_source(PyObject* text);

// source.cpp: a list of (start, close, reason) for every tag-like text of
// `text` (a str) that parse leaves as text, in text order: close is the
// position of its ">" (-1 for none), reason an index into reason_texts().
PyObject* explain(PyObject* text);

// source.cpp: a tuple of the words of each reason explain gives.
PyObject* reason_texts();

}  // namespace quillet::tree
