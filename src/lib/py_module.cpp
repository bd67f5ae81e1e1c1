// The quillet extension module: PyInit_quillet and parse(input).
#include <Python.h>

#include <string_view>
#include <utility>

#include "lib/parse.hpp"
#include "lib/py_failure.hpp"
#include "types/py_convert.hpp"

namespace quillet {
namespace {

// The C API version the module definition is written against.
constexpr int kApiVersion = 1013;

// Binds parse's arguments: one parameter "input", by position or keyword.
// Returns the argument (borrowed), or nullptr with a TypeError set.
PyObject* bind_input(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs > 1) {
    PyErr_Format(PyExc_TypeError, "parse() takes 1 positional arguments but %zd were given", nargs);
    return nullptr;
  }
  PyObject* input = nargs == 1 ? args[0] : nullptr;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, i);
    if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "input") == 0) {
      if (input) {
        PyErr_SetString(PyExc_TypeError, "parse() got multiple values for argument 'input'");
        return nullptr;
      }
      input = args[nargs + i];
    } else {
      PyErr_Format(PyExc_TypeError, "parse() got an unexpected keyword argument '%S'", name);
      return nullptr;
    }
  }
  if (!input) {
    PyErr_SetString(PyExc_TypeError, "parse() missing 1 required positional argument: 'input'");
  }
  return input;
}

// The UTF-8 form of `input`, which must be a str (subclasses included); it
// stays valid as long as `input` lives. nullptr with a TypeError, or with the
// interpreter's own error (UnicodeEncodeError for lone surrogates), set.
const char* input_utf8(PyObject* input, Py_ssize_t* size) {
  if (!PyUnicode_Check(input)) {
    PyObject* qualname =
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(input)), "__qualname__");
    if (!qualname) return nullptr;
    PyErr_Format(PyExc_TypeError, "argument 'input': '%U' object cannot be converted to 'PyString'",
                 qualname);
    Py_DECREF(qualname);
    return nullptr;
  }
  return PyUnicode_AsUTF8AndSize(input, size);
}

// The tree for `utf8`: a list of text runs (str) and elements (dict), or None
// for the empty text. Throws on failure (see py_convert.hpp).
PyObject* parse_to_py(std::string_view utf8) {
  std::optional<std::vector<Result>> results = parse_results(utf8);
  if (!results) return value_into_py(Value());
  // The results are moved, not copied, into the values that convert them.
  Value::Array nodes;
  nodes.reserve(results->size());
  for (Result& r : *results) nodes.emplace_back(std::move(r));
  results.reset();
  return value_into_py(Value(std::move(nodes)));
}

PyObject* parse(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* input = bind_input(args, nargs, kwnames);
  if (!input) return nullptr;
  Py_ssize_t size = 0;
  const char* utf8 = input_utf8(input, &size);
  if (!utf8) return nullptr;
  return guarded(
      [&] { return parse_to_py(std::string_view(utf8, static_cast<std::size_t>(size))); });
}

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "quillet",  // m_name
    "",         // m_doc
    0,          // m_size
    nullptr,    // m_methods: parse is added after creation
    nullptr,    // m_slots
    nullptr,    // m_traverse
    nullptr,    // m_clear
    nullptr,    // m_free
};

// Lives as long as the process: the function object points at it.
PyMethodDef g_parse_def = {
    "parse",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(parse)),
    METH_FASTCALL | METH_KEYWORDS,
    "",
};

// Appends `name` to the module's __all__, creating the list when missing.
bool add_to_all(PyObject* module, PyObject* name) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyList_New(0);
    if (!all) return false;
    if (PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_DECREF(all);
      return false;
    }
  }
  const int rc = PyList_Append(all, name);
  Py_DECREF(all);
  return rc == 0;
}

// Makes the parse function and adds it to `module` (and to its __all__).
bool add_parse(PyObject* module) {
  const char* module_name = PyModule_GetName(module);
  if (!module_name) return false;
  PyObject* module_str = PyUnicode_FromString(module_name);
  if (!module_str) return false;
  PyObject* func = PyCFunction_NewEx(&g_parse_def, module, module_str);
  Py_DECREF(module_str);
  if (!func) return false;
  PyObject* name = PyObject_GetAttrString(func, "__name__");
  const bool ok = name && add_to_all(module, name) && PyObject_SetAttr(module, name, func) == 0;
  Py_XDECREF(name);
  Py_DECREF(func);
  return ok;
}

PyObject* init_module() {
  PyObject* module = PyModule_Create2(&g_module_def, kApiVersion);
  if (!module) return nullptr;
  if (!add_parse(module)) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}

}  // namespace
}  // namespace quillet

PyMODINIT_FUNC PyInit_quillet(void) {
  return quillet::guarded([] { return quillet::init_module(); });
}
