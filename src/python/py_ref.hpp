// PyRef: the one way this project's C++ owns a Python reference; GcPause:
// the collector held off while a whole tree is built.
#pragma once

#include <Python.h>

#include "python/py_state.hpp"

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
// Python code that runs meanwhile (signal handlers) runs through resumed(),
// with the collector as the caller's code last set it; when the pause ends,
// also by unwinding, the collector is left in that state.
class GcPause {
 public:
  GcPause() noexcept : wanted_(gc_disable()) {}
  ~GcPause() {
    if (wanted_) gc_enable();
  }
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;

  // Calls `f`, which may run Python code, with the collector on or off as
  // wanted; whatever that code leaves it at is wanted from then on.
  template <class F>
  void resumed(F&& f) {
    if (wanted_) gc_enable();
    struct Again {
      GcPause& pause;
      ~Again() { pause.wanted_ = gc_disable(); }
    } again{*this};
    f();
  }

 private:
  bool wanted_;  // whether the collector is to be on once the pause ends
};

}  // namespace quillet
