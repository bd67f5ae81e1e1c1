// The process-wide Python objects, made under the interpreter lock.
#include "python/py_state.hpp"

#include <array>
#include <cstddef>
#include <string_view>

#include "python/py_ref.hpp"

#include "types/element_schema.hpp"

namespace quillet {
namespace {

ElementKeys g_keys = {};
PyObject* g_panic_class = nullptr;

}  // namespace

bool init_py_state() noexcept {
  if (g_keys.tag) return true;  // a second module, or a second import, found them made
  // The fixed keys in their order, then the empty str; none is kept unless
  // all are made.
  std::array<PyRef, element::kFixedKeys.size() + 1> made;
  for (std::size_t i = 0; i < made.size(); ++i) {
    const std::string_view name = i < element::kFixedKeys.size() ? element::kFixedKeys[i] : "";
    PyObject* s = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    if (!s) return false;
    PyUnicode_InternInPlace(&s);
    made[i] = PyRef(s);
  }
  static_assert(element::kFixedKeys[5] == element::kChildren);
  g_keys = ElementKeys{made[0].release(), made[1].release(), made[2].release(), made[3].release(),
                       made[4].release(), made[5].release(), made[6].release()};
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
