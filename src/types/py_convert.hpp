// Conversion of Values and Dicts into Python objects (needs the interpreter lock).
//
// Every function here returns a new reference owned by the caller. On failure
// nothing built so far survives, no Python error is left pending, and a C++
// exception is thrown instead:
//  - InternalError "Python API call failed" when the interpreter could not
//    create an object (its error is printed to stderr first);
//  - InternalError "called `Result::unwrap()` on an `Err` value: ..." when a
//    dict store failed;
//  - std::bad_alloc when the conversion's own bookkeeping ran out of memory.
// The work is done with an explicit stack, so trees of any depth convert.
#pragma once

#include <Python.h>

#include "types/value.hpp"

namespace quillet {

// Consumes `value`. A Result becomes a str (text run) or a dict whose keys
// are "tag", "id", "classes", "style", "is_self_closing" (those present),
// then the other entries in the order they were first recorded, then
// "children"; a Queue becomes a list of one-character strs.
PyObject* value_into_py(Value&& value);

// Consumes `dict`; the Python dict lists the keys in insertion order.
PyObject* dict_into_py(Dict&& dict);

// The failure rule for object creation, for every builder of Python trees:
// prints the interpreter's pending error, then throws the InternalError.
[[noreturn]] void py_creation_failed(const char* file, int line);
// `obj`, or py_creation_failed when the interpreter could not create it.
PyObject* py_created(PyObject* obj, const char* file, int line);
// Stores `value` under `key` in `dict` (neither reference is taken over); a
// failed store throws the InternalError described above.
void py_set_item(PyObject* dict, PyObject* key, PyObject* value);
#define QUILLET_PY_NEW(expr) ::quillet::py_created((expr), __FILE__, __LINE__)

}  // namespace quillet
