// The element keys every operation looks up, made once when the module loads.
#pragma once

#include <Python.h>

namespace quillet::tree {

// Interned strs, kept for the life of the process (borrowed references).
struct Keys {
  PyObject* tag;
  PyObject* id;
  PyObject* classes;
  PyObject* style;
  PyObject* is_self_closing;
  PyObject* children;
};

// Makes the keys; false with an error set when one cannot be made.
bool make_keys();
// The keys; make_keys must have succeeded.
const Keys& keys();

}  // namespace quillet::tree
