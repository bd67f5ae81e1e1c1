// Conversion of Values and Dicts into Python objects (needs the interpreter lock).
//
// Every function here returns a new reference owned by the caller. On failure
// nothing built so far survives, no Python error is left pending, and a C++
// exception is thrown instead:
//  - PythonCallFailed "Python API call failed" when the interpreter could not
//    create an object, and "called `Result::unwrap()` on an `Err` value: ..."
//    when a dict store failed (python/py_failure.hpp);
//  - std::bad_alloc when the conversion's own bookkeeping ran out of memory.
// The work is done with an explicit stack, so trees of any depth convert.
#pragma once

#include <Python.h>

#include "types/value.hpp"

namespace quillet {

// The keys come from init_py_state, which must have succeeded.
//
// Consumes `value`. A Result becomes a str (text run) or a dict whose keys
// are "tag", "id", "classes", "style", "is_self_closing" (those present),
// then the other entries in the order they were first recorded, then
// "children"; a Queue becomes a list of one-character strs.
PyObject* value_into_py(Value&& value);

// Consumes `dict`; the Python dict lists the keys in insertion order.
PyObject* dict_into_py(Dict&& dict);


}  // namespace quillet
