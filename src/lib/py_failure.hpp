// The module boundary's failure handling: C++ exceptions become Python exceptions.
#pragma once

#include <Python.h>

#include <string_view>

namespace quillet {

// Sets the Python error for the C++ exception being handled; call only from
// inside a catch block. std::bad_alloc becomes MemoryError; anything else is
// an internal failure (see raise_internal_failure).
void raise_current_exception() noexcept;

// Writes a diagnostic naming `file`:`line` and `message` to standard error,
// then sets corvane_runtime.PanicException(message) as the Python error. The
// exception class derives from BaseException directly, is created on first
// use and lives as long as the process; it is no attribute of the module.
void raise_internal_failure(std::string_view message, const char* file, int line) noexcept;

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
