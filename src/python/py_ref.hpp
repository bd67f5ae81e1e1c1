// PyRef: the one way this project's C++ owns a Python reference; GcPause:
// the collector held off while a whole tree is built.
#pragma once

#include <Python.h>

namespace quillet {

// Owns one new reference (or none) and releases it on destruction unless
// handed over with release(). Move-only.
class PyRef {
 public:
  // Takes over `object`: a new reference, or nullptr.
  explicit PyRef(PyObject* object = nullptr) noexcept : object_(object) {}
  // Adds a reference to `object` (borrowed, not nullptr) and owns that.
  static PyRef borrow(PyObject* object) noexcept {
    Py_INCREF(object);
    return PyRef(object);
  }
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

  // Borrowed: valid while the PyRef keeps its reference.
  PyObject* get() const noexcept { return object_; }
  // New reference: the one the PyRef held, now the caller's.
  PyObject* release() noexcept {
    PyObject* o = object_;
    object_ = nullptr;
    return o;
  }
  explicit operator bool() const noexcept { return object_ != nullptr; }

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
