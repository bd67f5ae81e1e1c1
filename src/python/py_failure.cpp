// Internal failures as corvane_runtime.PanicException, memory exhaustion as MemoryError.
#include "python/py_failure.hpp"

#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <utility>

#include "python/py_state.hpp"

namespace quillet {
namespace {

// `file` from its "src/" component on, which is how the source tree names it.
const char* source_path(const char* file) {
  const std::string_view path(file);
  const std::size_t at = path.rfind("/src/");
  return at == std::string_view::npos ? file : file + at + 1;
}

// The pending exception, normalised, which is cleared; empty when none is
// pending.
PyRef take_pending_exception() {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  if (!type) return PyRef();
  PyErr_NormalizeException(&type, &value, &tb);
  const PyRef owned_type(type), owned_tb(tb);
  if (value && tb) PyException_SetTraceback(value, tb);
  return PyRef(value);
}

// "TypeName: text" of `exc` (borrowed, may be nullptr).
std::string describe(PyObject* exc) {
  if (!exc) return "unknown error";
  std::string text = Py_TYPE(exc)->tp_name;
  if (const PyRef s(PyObject_Str(exc)); s) {
    Py_ssize_t n = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(s.get(), &n); utf8 && n > 0) {
      text += ": ";
      text.append(utf8, static_cast<std::size_t>(n));
    }
  }
  PyErr_Clear();  // whatever describing the error raised
  return text;
}

}  // namespace

PythonCallFailed::PythonCallFailed(const std::string& message, PyRef cause, const char* file,
                                   int line)
    : InternalError(message, file, line), cause_(std::move(cause)) {}

PythonCallFailed::PythonCallFailed(const PythonCallFailed& other)
    : InternalError(other), cause_(other.cause_ ? PyRef::borrow(other.cause_.get()) : PyRef()) {}

void py_creation_failed(const char* file, int line) {
  throw PythonCallFailed("Python API call failed", take_pending_exception(), file, line);
}

PyObject* py_created(PyObject* obj, const char* file, int line) {
  if (!obj) py_creation_failed(file, line);
  return obj;
}

void py_set_item(PyObject* dict, PyObject* key, PyObject* value) {
  if (PyDict_SetItem(dict, key, value) == 0) return;
  PyRef cause = take_pending_exception();
  const std::string message =
      "called `Result::unwrap()` on an `Err` value: " + describe(cause.get());
  throw PythonCallFailed(message, std::move(cause), __FILE__, __LINE__);
}

void raise_internal_failure(std::string_view message, const char* file, int line,
                            PyObject* cause) noexcept {
  // The diagnostic goes straight to the C stream: it names the interpreter's
  // error by its type only, which runs no Python code.
  std::fprintf(stderr, "quillet: internal failure at %s:%d: %.*s%s%s%s\n", source_path(file), line,
               static_cast<int>(message.size()), message.data(), cause ? " (caused by " : "",
               cause ? Py_TYPE(cause)->tp_name : "", cause ? ")" : "");
  std::fflush(stderr);

  PyErr_Clear();  // the failure replaces whatever was pending
  PyObject* cls = panic_class();
  if (!cls) return;  // its own error (MemoryError) stays set
  const PyRef text(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;
  const PyRef exc(PyObject_CallOneArg(cls, text.get()));
  if (!exc) return;
  // PyException_SetCause takes the reference it is given.
  if (cause) PyException_SetCause(exc.get(), PyRef::borrow(cause).release());
  PyErr_SetObject(cls, exc.get());
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonErrorSet&) {
    // the interpreter's error stands
  } catch (const PythonCallFailed& e) {
    raise_internal_failure(e.what(), e.file(), e.line(), e.cause());
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
