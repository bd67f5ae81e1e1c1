// _quillet_reference: parse through the step-by-step detectors and the Value
// conversion, for the tests that hold quillet.parse to the same results.
#include <Python.h>

#include "crosscheck/parse.hpp"
#include "python/py_failure.hpp"
#include "python/py_state.hpp"
#include "reference/py_convert.hpp"

namespace quillet {
namespace {

// New reference: the tree of `input` as the detectors build it, or nullptr
// with the error set.
PyObject* parse_reference(PyObject* /*module*/, PyObject* input) {
  if (!PyUnicode_Check(input)) {
    PyErr_SetString(PyExc_TypeError, "parse() takes a str");
    return nullptr;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(input, &size);
  if (!utf8) return nullptr;
  return guarded([&] {
    std::optional<std::vector<Result>> results =
        parse_results(std::string_view(utf8, static_cast<std::size_t>(size)));
    if (!results) return value_into_py(Value());
    Value::Array nodes;
    nodes.reserve(results->size());
    for (Result& r : *results) nodes.emplace_back(std::move(r));
    results.reset();
    return value_into_py(Value(std::move(nodes)));
  });
}

PyMethodDef g_methods[] = {
    {"parse", parse_reference, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module = {PyModuleDef_HEAD_INIT, "_quillet_reference", nullptr, 0, g_methods,
                        nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace quillet

PyMODINIT_FUNC PyInit__quillet_reference() {
  if (!quillet::init_py_state()) return nullptr;
  return PyModule_Create(&quillet::g_module);
}
