// The selector operations of the quillet_tree._native module.
//
// Each takes borrowed arguments and returns a new reference, or nullptr with
// a Python exception set (MemoryError when memory runs out).
#pragma once

#include <Python.h>

namespace quillet::select {

// A capsule holding the program `program` (the tuples quillet_tree._selectors
// makes) in the form the matcher reads.
PyObject* compile_selector(PyObject* program);

// The elements of `tree` that the compiled selector matches, in document
// order and each once: a new list, or (with `first`) the first one or None.
PyObject* select(PyObject* tree, PyObject* compiled, bool first);

// A new list of the nodes of `tree` without the elements the compiled
// selector matches: lists and element dicts are new, strs are shared, and the
// text runs that meet where elements were taken out are joined.
PyObject* drop(PyObject* tree, PyObject* compiled);

}  // namespace quillet::select
