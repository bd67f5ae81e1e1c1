// The quillet_tree._native extension module: argument checks and the
// method table over the operations of tree_ops.hpp.
#include <Python.h>

#include "python/py_ref.hpp"
#include "python/py_state.hpp"
#include "select/program.hpp"
#include "select/select.hpp"
#include "tree/tree_ops.hpp"

namespace quillet::tree {
namespace {

// Checks that `name` got `nargs` positional arguments. False with a TypeError set.
bool arity(const char* name, Py_ssize_t nargs, Py_ssize_t expected) {
  if (nargs == expected) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments (%zd given)", name, expected, nargs);
  return false;
}

// Each returns a new reference, or nullptr with an error set.

PyObject* py_to_json(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!arity("to_json", nargs, 2)) return nullptr;
  const int ascii = PyObject_IsTrue(args[1]);
  return ascii < 0 ? nullptr : to_json(args[0], ascii != 0);
}

PyObject* py_from_json(PyObject*, PyObject* text) {
  if (!PyUnicode_Check(text)) {
    PyErr_Format(PyExc_TypeError, "from_json() takes a str, not %s", Py_TYPE(text)->tp_name);
    return nullptr;
  }
  return from_json(text);
}

PyObject* py_copy(PyObject*, PyObject* obj) { return deep_copy(obj); }

PyObject* py_equal(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return arity("equal", nargs, 2) ? equal(args[0], args[1]) : nullptr;
}

// text_runs(node, skip): skip is a set or frozenset of tags, or None.
PyObject* py_text_runs(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!arity("text_runs", nargs, 2)) return nullptr;
  PyObject* skip = args[1] == Py_None ? nullptr : args[1];
  if (skip && !PyAnySet_Check(skip)) {
    PyErr_SetString(PyExc_TypeError, "text_runs() takes a set of tags to skip");
    return nullptr;
  }
  return text_runs(args[0], skip);
}

PyObject* py_to_markup(PyObject*, PyObject* node) { return to_markup(node); }

PyObject* py_compile_selector(PyObject*, PyObject* program) {
  return select::compile_selector(program);
}

// select(tree, compiled, first)
PyObject* py_select(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!arity("select", nargs, 3)) return nullptr;
  const int first = PyObject_IsTrue(args[2]);
  return first < 0 ? nullptr : select::select(args[0], args[1], first != 0);
}

PyObject* py_drop(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return arity("drop", nargs, 2) ? select::drop(args[0], args[1]) : nullptr;
}

// Both take a str; the Python half checks it, this guards the C++ half.
bool is_text(const char* name, PyObject* text) {
  if (PyUnicode_Check(text)) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes a str, not %s", name, Py_TYPE(text)->tp_name);
  return false;
}

PyObject* py_parse_source(PyObject*, PyObject* text) {
  return is_text("parse_source", text) ? parse_source(text) : nullptr;
}

PyObject* py_explain(PyObject*, PyObject* text) { return is_text("explain", text) ? explain(text) : nullptr; }

PyMethodDef g_methods[] = {
    {"to_json", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(py_to_json)),
     METH_FASTCALL, "to_json(obj, ensure_ascii, /): json.dumps(obj, ensure_ascii=...) at any depth."},
    {"from_json", py_from_json, METH_O, "from_json(text, /)\n--\n\n"
     "The object json.loads(text) returns, at any depth. Raises json.JSONDecodeError\n"
     "for text that is not JSON. Keys are interned, like the keys parse makes."},
    {"copy", py_copy, METH_O, "copy(tree, /)\n--\n\n"
     "A deep copy, as copy.deepcopy makes it, at any depth. Lists and dicts are\n"
     "copied (one reached twice is copied once); str, bool, None and numbers are\n"
     "shared; anything else goes to copy.deepcopy."},
    {"equal", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(py_equal)),
     METH_FASTCALL, "equal(a, b, /)\n--\n\n"
     "a == b, at any depth: lists, dicts and their items compare as == does."},
    {"text_runs", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(py_text_runs)),
     METH_FASTCALL, "text_runs(node, skip, /): the text runs under node, in document order."},
    {"to_markup", py_to_markup, METH_O, "to_markup(tree, /)\n--\n\n"
     "The markup of tree (a list of nodes, one node or None): elements as\n"
     "<tag k=\"v\">children</tag>, or <tag k=\"v\"/> when is_self_closing is True;\n"
     "text runs as they are. ValueError for an element no markup gives (a value\n"
     "holding a double quote, an attribute name that is no name, a '>' that ends\n"
     "the tag, a self-closing element with children), TypeError for a value of\n"
     "the wrong type. quillet_tree.to_markup reads the result back to check it."},
    {"compile_selector", py_compile_selector, METH_O,
     "compile_selector(program, /): the selector program quillet_tree._selectors made, ready\n"
     "for select and drop."},
    {"select", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(py_select)),
     METH_FASTCALL, "select(tree, compiled, first, /): the elements of tree that match, in\n"
     "document order and each once; with first, the first of them or None."},
    {"drop", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(py_drop)),
     METH_FASTCALL, "drop(tree, compiled, /): a new list of tree's nodes without the elements\n"
     "that match, the text runs that then meet joined."},
    {"parse_source", py_parse_source, METH_O,
     "parse_source(text, /): (quillet.parse(text), the elements' spans as bytes of four native\n"
     "32-bit numbers each: start, content start, content end, end), in document order."},
    {"explain", py_explain, METH_O,
     "explain(text, /): [(start, close, reason)] for each tag-like text that stayed text, in\n"
     "text order; close is -1 when no '>' closes it, reason indexes REASONS."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT, "quillet_tree._native", "The C++ half of quillet_tree.", 0, g_methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace quillet::tree

PyMODINIT_FUNC PyInit__native(void) {
  using quillet::PyRef;
  if (!quillet::init_py_state()) return nullptr;
  PyRef module(PyModule_Create(&quillet::tree::g_module));
  if (!module || !quillet::declare_free_threaded(module.get())) return nullptr;
  // ELEMENT_KEYS: the fixed keys in their order, the very objects parse puts
  // in its dicts, for the Python half to read elements by.
  const quillet::ElementKeys& k = quillet::element_keys();
  PyRef keys(PyTuple_Pack(6, k.tag, k.id, k.classes, k.style, k.is_self_closing, k.children));
  if (!keys || PyModule_AddObject(module.get(), "ELEMENT_KEYS", keys.get()) < 0) return nullptr;
  keys.release();  // the module took it
  if (PyModule_AddStringConstant(module.get(), "__version__", QUILLET_VERSION) < 0) return nullptr;
  // The bytes a selector may take for what it keeps while it matches.
  if (PyModule_AddIntConstant(module.get(), "SELECT_MEMORY_LIMIT",
                              static_cast<long>(quillet::select::kMatchMemory)) < 0) {
    return nullptr;
  }
  PyRef reasons(quillet::tree::reason_texts());
  if (!reasons || PyModule_AddObject(module.get(), "REASONS", reasons.get()) < 0) return nullptr;
  reasons.release();
  return module.release();
}
