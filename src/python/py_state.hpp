// The Python objects this project keeps for the life of the process: the
// element keys every tree builder and reader shares, and the class of the
// internal-failure exception. Each extension module holds its own copy
// (this file is linked into each) and makes it once, when it is imported.
#pragma once

#include <Python.h>

namespace quillet {

// The fixed element keys as interned strs, plus the empty str that stands for
// an absent id, style or class name. Borrowed references, never released.
struct ElementKeys {
  PyObject* tag;
  PyObject* id;
  PyObject* classes;
  PyObject* style;
  PyObject* is_self_closing;
  PyObject* children;
  PyObject* empty;
};

// Makes the keys (and, before 3.10, fetches the gc module's switch), all or none; called by each module's init function before
// the module exists, so no code that reads them can run first. True when
// they exist; false with the interpreter's error (MemoryError) set, in which
// case the import fails and a later import tries again.
bool init_py_state() noexcept;

// Tells a free-threaded interpreter that `module` may run without the GIL:
// every function of both modules is safe to call from many threads at once
// (docs/reference.md says what each guarantees). Elsewhere does nothing.
// False with the error set.
bool declare_free_threaded(PyObject* module);

// The keys; init_py_state has succeeded (the module could not be imported
// otherwise).
const ElementKeys& element_keys();

// The cyclic collector's switch, as gc.disable() and gc.enable() set it.
// gc_disable turns it off and tells whether it was on; gc_enable turns it
// on. No Python code runs, and an error already set stays set. (Before
// 3.10 there is no C function for this: the gc module's own functions,
// fetched by init_py_state, are called.)
bool gc_disable() noexcept;
void gc_enable() noexcept;

// Borrowed reference to corvane_runtime.PanicException, the class of the
// internal-failure exception, created on the first failure and reused from
// then on; nullptr with MemoryError set when it cannot be created. The name
// and the base class BaseException are what callers catch, so an internal
// failure passes `except Exception` clauses; it is no attribute of any module.
PyObject* panic_class();

}  // namespace quillet
