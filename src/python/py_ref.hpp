// PyRef: the one way this project's C++ owns a Python reference; GcPause:
// the collector held off while a whole tree is built.
#pragma once

#include <Python.h>

#include <cstdint>

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
// list and dict would otherwise be traversed again by each young collection
// (and, on a free-threaded build, each collection stops every thread).
//
// The collector's switch is process-wide, so the pauses of every thread and
// of both extension modules share one count. The first pause to start turns
// the collector off and remembers whether it was on; the last to end turns
// it back on if it was, or if code turned it on while pauses were running
// (as seen whenever a pause starts, ends or resumes). While other pauses are
// running the collector stays off, even for Python code run by resumed().
// A gc.disable() made by another thread while a pause runs cannot be told
// from the pause itself: the collector comes back on when the last pause
// ends if it was on when the first began.
class GcPause {
 public:
  GcPause() noexcept;
  ~GcPause();
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;

  // Calls `f`, which may run Python code. When this is the only pause in
  // progress, `f` runs with the collector on or off as the caller's code last
  // set it, and whatever `f` leaves it at is wanted from then on; otherwise
  // it runs with the collector off.
  template <class F>
  void resumed(F&& f) {
    const std::uint64_t seen = resume();
    struct Again {
      std::uint64_t seen;
      ~Again() { pause_again(seen); }
    } again{seen};
    f();
  }

 private:
  // Before and after `f` in resumed(): the first returns how many pauses had
  // started (0 when others are in progress), which the second compares to
  // tell f's own changes of the switch.
  static std::uint64_t resume() noexcept;
  static void pause_again(std::uint64_t seen) noexcept;
};

}  // namespace quillet
