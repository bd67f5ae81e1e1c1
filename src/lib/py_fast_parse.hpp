// parse straight from a str's own storage to Python objects, via the markup index.
#pragma once

#include <Python.h>

namespace quillet {

// The parse tree of `input` (an exact or derived str without lone
// surrogates): a new list, or a new reference to None for the empty string.
// Throws InternalError when the interpreter cannot create an object (nothing
// built survives), std::bad_alloc when the engine runs out of memory, and
// std::length_error for texts of 2^32 - 1 characters or more.
PyObject* fast_parse_to_py(PyObject* input);

}  // namespace quillet
