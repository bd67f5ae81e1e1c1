// PyRef: the one way this module owns a Python reference; GcPause: the
// collector held off while a whole tree is built.
#pragma once

#include <Python.h>

namespace quillet {

// Owns one new reference (or none) and releases it on destruction unless
// handed over with release(). Move-only.
class PyRef {
 public:
  explicit PyRef(PyObject* object = nullptr) : object_(object) {}
  PyRef(PyRef&& other) noexcept : object_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = other.release();
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  // Borrowed: the PyRef keeps its reference.
  PyObject* get() const { return object_; }
  // The reference, now the caller's.
  PyObject* release() {
    PyObject* o = object_;
    object_ = nullptr;
    return o;
  }

 private:
  PyObject* object_;
};

// Pauses the cyclic garbage collector while a whole tree is built: every
// list and dict would otherwise be traversed again by each young collection.
// Restores the collector's state as found, also when unwinding.
class GcPause {
 public:
  GcPause() {
#if PY_VERSION_HEX >= 0x030A0000
    was_enabled_ = PyGC_Disable();
#endif
  }
  ~GcPause() {
#if PY_VERSION_HEX >= 0x030A0000
    if (was_enabled_) PyGC_Enable();
#endif
  }
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;

 private:
  int was_enabled_ = 0;
};

}  // namespace quillet
