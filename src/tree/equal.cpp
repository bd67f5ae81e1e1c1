// equal: a == b for trees of any depth. Pairs of lists and of dicts wait on
// a work list instead of the C stack; everything else is compared by
// Python's own comparison.
#include <cstring>
#include <new>
#include <vector>

#include "python/py_failure.hpp"
#include "python/py_ref.hpp"
#include "python/py_str.hpp"
#include "tree/tree_ops.hpp"

namespace quillet::tree {
namespace {

// Two lists, or two dicts, of the same size whose items are still to compare.
// Borrowed while only lists, dicts and strs have been compared (no Python
// code has run); see Comparer::hold_all.
struct Pending {
  PyObject* a;
  PyObject* b;
};

// 1 when equal, 0 when not.
int strings_equal(PyObject* a, PyObject* b) {
  const StrStorage x = str_storage(a), y = str_storage(b);
  if (x.length != y.length || x.kind != y.kind) return 0;
  const std::size_t bytes = static_cast<std::size_t>(x.length) * static_cast<std::size_t>(x.kind);
  return std::memcmp(x.data, y.data, bytes) == 0;
}

bool is_container(PyObject* o) { return PyList_CheckExact(o) || PyDict_CheckExact(o); }

// The result is that of == except in which comparison runs first, which
// shows only when comparing leaves raises or has side effects.
class Comparer {
 public:
  Comparer() = default;
  Comparer(const Comparer&) = delete;
  Comparer& operator=(const Comparer&) = delete;
  ~Comparer() {
    if (held_)
      for (Pending& p : work_) Py_DECREF(p.a), Py_DECREF(p.b);
    // The pair being compared when an exception left run().
    if (current_held_ && current_.a) Py_DECREF(current_.a), Py_DECREF(current_.b);
  }

  // 1 when equal, 0 when not, -1 with an error set.
  int run(PyObject* a, PyObject* b) {
    if (!is_container(a) || !is_container(b)) {
      PyRef r(PyObject_RichCompare(a, b, Py_EQ));
      return r ? PyObject_IsTrue(r.get()) : -1;
    }
    int same = item(a, b);
    while (same == 1 && !work_.empty()) {
      current_ = work_.back();
      work_.pop_back();
      current_held_ = held_;
      same = PyList_CheckExact(current_.a) ? lists(current_.a, current_.b)
                                           : dicts(current_.a, current_.b);
      if (current_held_) Py_DECREF(current_.a), Py_DECREF(current_.b);
      current_ = Pending{nullptr, nullptr};
    }
    return same;
  }

 private:
  // Before the first comparison that may run Python code (and so change or
  // drop what is pending): takes a reference to every pending container,
  // and to every one pushed from then on.
  void hold_all() {
    if (held_) return;
    held_ = true;
    for (Pending& p : work_) Py_INCREF(p.a), Py_INCREF(p.b);
    if (current_.a) {
      Py_INCREF(current_.a), Py_INCREF(current_.b);
      current_held_ = true;
    }
  }

  // Compares two items: leaves at once, containers of the same size later.
  // 1, 0 or -1 as run.
  int item(PyObject* x, PyObject* y) {
    if (x == y) return 1;  // as == does for the items of lists and dicts
    if (PyUnicode_CheckExact(x) && PyUnicode_CheckExact(y)) return strings_equal(x, y);
    if (PyList_CheckExact(x) && PyList_CheckExact(y)) {
      if (PyList_GET_SIZE(x) != PyList_GET_SIZE(y)) return 0;
    } else if (PyDict_CheckExact(x) && PyDict_CheckExact(y)) {
      if (PyDict_GET_SIZE(x) != PyDict_GET_SIZE(y)) return 0;
    } else {
      hold_all();
      PyRef hold_x = PyRef::borrow(x), hold_y = PyRef::borrow(y);
      return PyObject_RichCompareBool(x, y, Py_EQ);
    }
    work_.push_back(Pending{x, y});
    if (held_) Py_INCREF(x), Py_INCREF(y);
    return 1;
  }

  int lists(PyObject* a, PyObject* b) {
    // Lengths are read at every step: comparing leaves may change them.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(a); ++i) {
      if (i >= PyList_GET_SIZE(b)) return 0;
      const int same = item(PyList_GET_ITEM(a, i), PyList_GET_ITEM(b, i));
      if (same != 1) return same;
    }
    return PyList_GET_SIZE(a) == PyList_GET_SIZE(b);
  }

  int dicts(PyObject* a, PyObject* b) {
    if (PyDict_GET_SIZE(a) != PyDict_GET_SIZE(b)) return 0;
    PyObject *key, *x, *key_b, *y;
    Py_ssize_t pos = 0, pos_b = 0;
    while (PyDict_Next(a, &pos, &key, &x)) {
      // Dicts parsed from markup list their keys in the same order, so the
      // key at the same place in b is usually this very object.
      if (!PyDict_Next(b, &pos_b, &key_b, &y) || key_b != key) {
        PyRef held = PyRef::borrow(key);
        y = PyDict_GetItemWithError(b, key);
        if (!y) return PyErr_Occurred() ? -1 : 0;
      }
      const int same = item(x, y);
      if (same != 1) return same;
    }
    return 1;
  }

  std::vector<Pending> work_;
  bool held_ = false;          // work_ holds references
  Pending current_{nullptr, nullptr};  // the pair being compared
  bool current_held_ = false;  // current_ holds references
};

}  // namespace

PyObject* equal(PyObject* a, PyObject* b) {
  return guarded([&]() -> PyObject* {
    const int same = Comparer().run(a, b);
    if (same < 0) return nullptr;
    return PyBool_FromLong(same);
  });
}

}  // namespace quillet::tree
