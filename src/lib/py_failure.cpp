// Internal failures as corvane_runtime.PanicException, memory exhaustion as MemoryError.
#include "lib/py_failure.hpp"

#include <cstdio>
#include <exception>
#include <new>
#include <string>

#include "base/errors.hpp"

namespace quillet {
namespace {

// Created on the first internal failure, kept for the life of the process.
PyObject* g_panic_type = nullptr;

// `file` from its "src/" component on, which is how the source tree names it.
const char* source_path(const char* file) {
  const std::string_view path(file);
  const std::size_t at = path.rfind("/src/");
  return at == std::string_view::npos ? file : file + at + 1;
}

}  // namespace

void raise_internal_failure(std::string_view message, const char* file, int line) noexcept {
  std::fprintf(stderr, "quillet: internal failure at %s:%d: %.*s\n", source_path(file), line,
               static_cast<int>(message.size()), message.data());
  std::fflush(stderr);

  PyErr_Clear();  // the failure replaces whatever was pending
  if (!g_panic_type) {
    PyObject* made = PyErr_NewException("corvane_runtime.PanicException", PyExc_BaseException, nullptr);
    if (!made) return;  // its own error (MemoryError) stays set
    // Making a class may run a collection, whose finalizers may let another
    // thread in to fail and make the class first: there is only ever one.
    if (g_panic_type) {
      Py_DECREF(made);
    } else {
      g_panic_type = made;
    }
  }
  PyObject* text =
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (!text) return;
  PyObject* exc = PyObject_CallOneArg(g_panic_type, text);
  Py_DECREF(text);
  if (!exc) return;
  PyErr_SetObject(g_panic_type, exc);
  Py_DECREF(exc);
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonErrorSet&) {
    // the interpreter's error stands
  } catch (const InternalError& e) {
    raise_internal_failure(e.what(), e.file(), e.line());
  } catch (const std::bad_alloc&) {
    PyErr_Clear();
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_internal_failure(e.what(), __FILE__, __LINE__);
  } catch (...) {
    raise_internal_failure("unknown C++ exception", __FILE__, __LINE__);
  }
}

}  // namespace quillet
