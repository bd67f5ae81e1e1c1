// The quillet extension module: PyInit_quillet and parse(input).
#include <Python.h>

#include <string_view>
#include <utility>

#include "lib/py_failure.hpp"
#include "lib/py_fast_parse.hpp"

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

// Checks that `input` is a str (subclasses included) whose characters can
// be read. False with a TypeError, or the interpreter's own error, set.
// (Whether it has a UTF-8 form is found out while it is indexed.)
bool check_input(PyObject* input) {
  if (!PyUnicode_Check(input)) {
    PyObject* qualname = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(input)),
                                                "__qualname__");
    if (!qualname) return false;
    PyErr_Format(PyExc_TypeError, "argument 'input': '%U' object cannot be converted to 'PyString'",
                 qualname);
    Py_DECREF(qualname);
    return false;
  }
#if PY_VERSION_HEX < 0x030C0000
  // A str made through the legacy wide-character API has no canonical
  // storage until it is made ready.
  if (PyUnicode_READY(input) < 0) return false;
#endif
  return true;
}

PyObject* parse(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* input = bind_input(args, nargs, kwnames);
  if (!input || !check_input(input)) return nullptr;
  return guarded([&] { return fast_parse_to_py(input); });
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
