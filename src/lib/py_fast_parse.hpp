// parse straight from a str's own storage to Python objects, via the markup index.
#pragma once

#include <Python.h>

namespace quillet {

// The parse tree of `input` (an exact or derived str): a new list, or
// a new reference to None for the empty string. Returns null with a Python
// error set for a str with a lone surrogate (UnicodeEncodeError, as encoding
// it would raise), for texts of 2^32 - 1 characters or more (ValueError),
// and when a signal handler raises. Throws PythonCallFailed when the
// interpreter cannot create an object and std::bad_alloc when the engine
// runs out of memory; nothing built survives either. The module's state
// (init_py_state) must exist.
PyObject* fast_parse_to_py(PyObject* input);

}  // namespace quillet
