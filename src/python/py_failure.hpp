// Failures at the boundary with the interpreter: C++ exceptions become Python
// exceptions, and a failed interpreter call becomes an internal failure
// carrying the interpreter's own error.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "base/errors.hpp"
#include "python/py_ref.hpp"

namespace quillet {

// The interpreter could not do what was asked (create an object, store an
// item): an internal failure whose cause is the interpreter's own exception.
// Copies share the cause; make, copy and destroy it only under the
// interpreter lock.
class PythonCallFailed : public InternalError {
 public:
  PythonCallFailed(const std::string& message, PyRef cause, const char* file, int line);
  PythonCallFailed(const PythonCallFailed& other);
  PythonCallFailed& operator=(const PythonCallFailed&) = delete;

  // Borrowed reference to the interpreter's exception; nullptr when none
  // was pending.
  PyObject* cause() const { return cause_.get(); }

 private:
  PyRef cause_;
};

// The one failure path for "the interpreter could not create an object":
// throws PythonCallFailed("Python API call failed").
[[noreturn]] void py_creation_failed(const char* file, int line);

// New reference: `obj` itself, which a creating call just returned; when
// that call failed (nullptr), py_creation_failed.
PyObject* py_created(PyObject* obj, const char* file, int line);
#define QUILLET_PY_NEW(expr) ::quillet::py_created((expr), __FILE__, __LINE__)

// Stores `value` under `key` in `dict` (neither reference is taken over).
// A failed store throws PythonCallFailed, whose message starts
// "called `Result::unwrap()` on an `Err` value: " and names the error.
void py_set_item(PyObject* dict, PyObject* key, PyObject* value);

// Sets the Python error for the C++ exception being handled; call only from
// inside a catch block. std::bad_alloc becomes MemoryError; anything else is
// an internal failure (see raise_internal_failure).
void raise_current_exception() noexcept;

// Writes a diagnostic naming `file`:`line` and `message` to standard error,
// then sets corvane_runtime.PanicException(message) as the Python error,
// with `cause` (borrowed, may be nullptr) as its __cause__. No Python code
// runs on the way: nothing is printed through sys.stderr or sys.excepthook.
void raise_internal_failure(std::string_view message, const char* file, int line,
                            PyObject* cause = nullptr) noexcept;

// Thrown where a Python call failed and its own error, already set, is the
// one to report as it is (an exception raised by a signal handler).
struct PythonErrorSet {};

// Runs `body` (returning a new reference or nullptr with an error set) so that
// no C++ exception leaves it.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

}  // namespace quillet
