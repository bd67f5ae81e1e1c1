// Shared by the tests that run against the embedded interpreter.
#pragma once

#include <Python.h>

namespace quillet::test {

// sys.getallocatedblocks(): the interpreter's live memory blocks, which a
// leaked object keeps up.
inline long allocated_blocks() {
  PyObject* r = PyObject_CallNoArgs(PySys_GetObject("getallocatedblocks"));
  const long n = PyLong_AsLong(r);
  Py_DECREF(r);
  return n;
}

}  // namespace quillet::test
