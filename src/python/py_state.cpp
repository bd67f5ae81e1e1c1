// The process-wide Python objects, made under the interpreter lock.
#include "python/py_state.hpp"

#include <array>
#include <cstddef>
#include <string>

#include "types/element_schema.hpp"

namespace quillet {
namespace {

ElementKeys g_keys = {};
PyObject* g_panic_class = nullptr;

}  // namespace

bool init_py_state() {
  if (g_keys.tag) return true;  // a second module, or a second import, found them made
  std::array<PyObject*, element::kFixedKeys.size() + 1> made = {};
  for (std::size_t i = 0; i < made.size(); ++i) {
    const std::string name(i < element::kFixedKeys.size() ? element::kFixedKeys[i] : "");
    made[i] = PyUnicode_InternFromString(name.c_str());
    if (!made[i]) {
      for (std::size_t j = 0; j < i; ++j) Py_DECREF(made[j]);
      return false;
    }
  }
  static_assert(element::kFixedKeys[5] == element::kChildren);
  g_keys = ElementKeys{made[0], made[1], made[2], made[3], made[4], made[5], made[6]};
  return true;
}

const ElementKeys& element_keys() { return g_keys; }

PyObject* panic_class() {
  if (!g_panic_class) {
    // The dotted name gives the class its __module__ and __name__.
    PyObject* made = PyErr_NewException("corvane_runtime.PanicException", PyExc_BaseException, nullptr);
    if (!made) return nullptr;
    // Making a class may run a collection, whose finalizers may let another
    // thread in to fail and make the class first: there is only ever one.
    if (g_panic_class) {
      Py_DECREF(made);
    } else {
      g_panic_class = made;
    }
  }
  return g_panic_class;
}

}  // namespace quillet
