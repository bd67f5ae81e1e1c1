// Ref: the single owner of one Python reference, released exactly once
// (GcPause comes from types/py_ref.hpp).
#pragma once

#include <Python.h>

#include <utility>

#include "types/py_ref.hpp"

namespace quillet::tree {

// Move-only. Holds a new reference (or nothing) and drops it when destroyed
// or overwritten; release() hands the reference on to a caller.
class Ref {
 public:
  Ref() = default;
  // Takes over `owned`, a new reference or nullptr.
  static Ref steal(PyObject* owned) noexcept {
    Ref r;
    r.p_ = owned;
    return r;
  }
  // Adds a reference to `borrowed` (not nullptr) and owns it.
  static Ref borrow(PyObject* borrowed) noexcept {
    Py_INCREF(borrowed);
    return steal(borrowed);
  }

  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) Py_XSETREF(p_, std::exchange(other.p_, nullptr));
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  // Borrowed: valid while this Ref holds it.
  PyObject* get() const noexcept { return p_; }
  // The new reference, now the caller's; this Ref is left empty.
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// The collector pause shared with the parser.
using ::quillet::GcPause;

}  // namespace quillet::tree
