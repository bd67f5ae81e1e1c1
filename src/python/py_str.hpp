// Reading a str's characters in place.
#pragma once

#include <Python.h>

#include "python/py_failure.hpp"

namespace quillet {

// The canonical storage of a str: `length` code points of `kind` bytes each
// (PyUnicode_1BYTE_KIND, 2BYTE or 4BYTE) at `data`.
struct StrStorage {
  int kind;
  const void* data;
  Py_ssize_t length;
};

// The storage of `s` (an exact or derived str). Up to Python 3.11 a str made
// through the legacy wide-character API has no canonical storage until it is
// made ready, which this does; when that fails, the interpreter's error
// (MemoryError) is set and PythonErrorSet thrown. Runs no Python code.
inline StrStorage str_storage(PyObject* s) {
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(s) < 0) throw PythonErrorSet{};
#endif
  return StrStorage{static_cast<int>(PyUnicode_KIND(s)), PyUnicode_DATA(s), PyUnicode_GET_LENGTH(s)};
}

// The length of `s` in code points, read as str_storage reads it.
inline Py_ssize_t str_length(PyObject* s) { return str_storage(s).length; }

}  // namespace quillet
