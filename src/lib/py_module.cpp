// The quillet extension module: PyInit_quillet and parse(input).
#include <Python.h>

#include <string_view>
#include <utility>

#include "lib/py_fast_parse.hpp"
#include "python/py_failure.hpp"
#include "python/py_ref.hpp"
#include "python/py_state.hpp"

namespace quillet {
namespace {

// The C API version passed at module creation. The module has always been
// created with this value, and interpreters compare it with their own (a
// mismatch only warns), so it stays fixed whatever the build's headers say.
constexpr int kApiVersion = 1013;

// Binds parse's arguments: one parameter "input", by position or keyword.
// Returns the argument (borrowed), or nullptr with a TypeError set. The
// messages are part of the interface: callers match them word for word.
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

// Checks that `input` is a str (subclasses included). False with a
// TypeError, or the interpreter's own error, set. (Its storage is made ready
// and whether it has a UTF-8 form is found out when it is read.)
bool check_input(PyObject* input) {
  if (!PyUnicode_Check(input)) {
    // 'PyString' is the name this message has always given the expected
    // type; callers match the message as it stands, so it stays.
    const PyRef qualname(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(input)), "__qualname__"));
    if (!qualname) return false;
    PyErr_Format(PyExc_TypeError, "argument 'input': '%U' object cannot be converted to 'PyString'",
                 qualname.get());
    return false;
  }
  return true;
}

// New reference: the tree of `input`, or nullptr with the error set.
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
    nullptr,    // m_methods: none; parse is added after creation (add_parse)
    nullptr,    // m_slots
    nullptr,    // m_traverse
    nullptr,    // m_clear
    nullptr,    // m_free
};

// Lives as long as the process: the function object points at it. The
// docstring's first line is the text signature inspect.signature reads; the
// rest is the stub's docstring (quillet-stubs/__init__.pyi), word for word.
PyMethodDef g_parse_def = {
    "parse",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(parse)),
    METH_FASTCALL | METH_KEYWORDS,
    "parse($module, /, input)\n--\n\n"
    "The nodes of `input` in text order; None for the empty text.\n\n"
    "Text runs are strs; an element is a dict: tag, id, classes, style,\n"
    "is_self_closing, its other attributes as written, then children.\n"
    "Anything that is no well-formed element stays text. TypeError for\n"
    "input that is no str, UnicodeEncodeError for one with a lone surrogate.",
};

// Appends `name` to the module's __all__, creating the list when missing.
bool add_to_all(PyObject* module, PyObject* name) {
  PyRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  return PyList_Append(all.get(), name) == 0;
}

// Makes the parse function and adds it to `module` (and to its __all__).
// It is added to the made module, together with its entry in __all__,
// rather than listed in the definition: a method table makes no __all__,
// and callers rely on the function and the list appearing together.
bool add_parse(PyObject* module) {
  const char* module_name = PyModule_GetName(module);
  if (!module_name) return false;
  PyRef module_str(PyUnicode_FromString(module_name));
  if (!module_str) return false;
  PyRef func(PyCFunction_NewEx(&g_parse_def, module, module_str.get()));
  if (!func) return false;
  PyRef name(PyObject_GetAttrString(func.get(), "__name__"));
  return name && add_to_all(module, name.get()) &&
         PyObject_SetAttr(module, name.get(), func.get()) == 0;
}

// New reference: the module, or nullptr with the error set.
PyObject* init_module() {
  if (!init_py_state()) return nullptr;
  PyRef module(PyModule_Create2(&g_module_def, kApiVersion));
  if (!module || !declare_free_threaded(module.get()) || !add_parse(module.get())) return nullptr;
  return module.release();
}

}  // namespace
}  // namespace quillet

PyMODINIT_FUNC PyInit_quillet(void) {
  return quillet::guarded([] { return quillet::init_module(); });
}
