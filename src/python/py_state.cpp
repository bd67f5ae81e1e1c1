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

#if PY_VERSION_HEX < 0x030A0000
// gc.isenabled, gc.disable and gc.enable; borrowed from the gc module,
// which lives as long as the interpreter.
struct GcSwitch {
  PyObject* isenabled;
  PyObject* disable;
  PyObject* enable;
};
GcSwitch g_gc = {};

bool fetch_gc_switch() {
  if (g_gc.enable) return true;
  const PyRef gc(PyImport_ImportModule("gc"));
  if (!gc) return false;
  PyRef isenabled(PyObject_GetAttrString(gc.get(), "isenabled"));
  PyRef disable(PyObject_GetAttrString(gc.get(), "disable"));
  PyRef enable(PyObject_GetAttrString(gc.get(), "enable"));
  if (!isenabled || !disable || !enable) return false;
  g_gc = GcSwitch{isenabled.release(), disable.release(), enable.release()};
  return true;
}

// The result of calling `f` (a gc function taking nothing) as a truth
// value; the error set before the call, if any, is kept. These functions
// cannot fail, but a failure would read as false and be dropped.
bool call_gc(PyObject* f) noexcept {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  const PyRef result(PyObject_CallNoArgs(f));
  const bool truth = result && PyObject_IsTrue(result.get()) == 1;
  PyErr_Clear();
  PyErr_Restore(type, value, traceback);
  return truth;
}
#endif

}  // namespace

bool init_py_state() noexcept {
  if (g_keys.tag) return true;  // a second module, or a second import, found them made
#if PY_VERSION_HEX < 0x030A0000
  if (!fetch_gc_switch()) return false;
#endif
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

bool gc_disable() noexcept {
#if PY_VERSION_HEX >= 0x030A0000
  return PyGC_Disable() != 0;
#else
  const bool was_enabled = call_gc(g_gc.isenabled);
  call_gc(g_gc.disable);
  return was_enabled;
#endif
}

void gc_enable() noexcept {
#if PY_VERSION_HEX >= 0x030A0000
  PyGC_Enable();
#else
  call_gc(g_gc.enable);
#endif
}

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
