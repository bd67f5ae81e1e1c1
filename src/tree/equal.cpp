// equal: a == b for trees of any depth. Pairs of lists, tuples and dicts of
// the same size are compared item by item on a stack of frames instead of the C
// stack; everything else is compared by Python's own comparison.
#include <cstring>
#include <vector>

#include "python/py_failure.hpp"
#include "python/py_ref.hpp"
#include "python/py_str.hpp"
#include "tree/tree_ops.hpp"
#include "tree/walk.hpp"

namespace quillet::tree {
namespace {

// 1 when equal, 0 when not.
int strings_equal(PyObject* a, PyObject* b) {
  const StrStorage x = str_storage(a), y = str_storage(b);
  if (x.length != y.length || x.kind != y.kind) return 0;
  const std::size_t bytes = static_cast<std::size_t>(x.length) * static_cast<std::size_t>(x.kind);
  return std::memcmp(x.data, y.data, bytes) == 0;
}

// The path key of the second tree's containers: the same object may sit on
// both sides without holding itself.
const void* second(PyObject* o) { return reinterpret_cast<const char*>(o) + 1; }

// The result is that of == except in which comparison runs first, which
// shows only when comparing leaves raises or has side effects, and in that a
// list or dict met again inside itself is a ValueError where == would
// recurse until RecursionError.
class Comparer {
 public:
  // 1 when equal, 0 when not, -1 with an error set.
  int run(PyObject* a, PyObject* b) {
    if (!is_container(a) || !is_container(b)) {
      // a == b itself: no shortcut for a leaf that is b (nan == nan is False).
      PyRef r(PyObject_RichCompare(a, b, Py_EQ));
      return r ? PyObject_IsTrue(r.get()) : -1;
    }
    int same = item(a, b);
    PyRef key, x, y;
    while (same == 1 && !stack_.empty()) {
      // The last pair goes first: dropping it may run a finalizer, which
      // may change the containers read below.
      key = PyRef(), x = PyRef(), y = PyRef();
      Frame& f = stack_.back();
      PyObject* fa = f.a.get();
      PyObject* fb = f.b.get();
      if (f.kind != Kind::dict) {
        // Lengths are read at every step: comparing leaves may change them.
        const Py_ssize_t na = size(f.kind, fa), nb = size(f.kind, fb);
        if (f.pos >= na || f.pos >= nb) {
          same = na == nb;
          pop();
          continue;
        }
        x = PyRef::borrow(at(fa, f.pos));
        y = PyRef::borrow(at(fb, f.pos));
        ++f.pos;
      } else {
        if (!next_item(fa, f.pos, key, x)) {
          pop();
          continue;
        }
        // Dicts parsed from markup list their keys in the same order, so the
        // key at the same place in b is usually this very object.
        PyObject* key_b;
        PyObject* value_b;
        if (PyDict_Next(fb, &f.pos_b, &key_b, &value_b) && key_b == key.get()) {
          y = PyRef::borrow(value_b);
        } else {
          const int found = lookup(fb, key.get(), y);  // may run the key's __eq__
          if (found <= 0) return found;
        }
      }
      same = item(x.get(), y.get());  // may push: `f` is not used again
    }
    return same;
  }

 private:
  // Lists, tuples and dicts, and subclasses that keep their base's ==, are
  // compared here item by item; any other object by its own ==.
  enum class Kind { other, list, tuple, dict };
  static Kind kind(PyObject* o) {
    if (PyList_CheckExact(o)) return Kind::list;
    if (PyDict_CheckExact(o)) return Kind::dict;
    if (PyTuple_CheckExact(o)) return Kind::tuple;
    const richcmpfunc compare = Py_TYPE(o)->tp_richcompare;
    if (PyList_Check(o) && compare == PyList_Type.tp_richcompare) return Kind::list;
    if (PyDict_Check(o) && compare == PyDict_Type.tp_richcompare) return Kind::dict;
    if (PyTuple_Check(o) && compare == PyTuple_Type.tp_richcompare) return Kind::tuple;
    return Kind::other;
  }
  static bool is_container(PyObject* o) { return kind(o) != Kind::other; }
  static Py_ssize_t size(Kind k, PyObject* o) {
    return k == Kind::list ? PyList_GET_SIZE(o) : k == Kind::tuple ? PyTuple_GET_SIZE(o) : PyDict_GET_SIZE(o);
  }
  static PyObject* at(PyObject* o, Py_ssize_t i) {
    return PyList_Check(o) ? PyList_GET_ITEM(o, i) : PyTuple_GET_ITEM(o, i);
  }

  struct Frame {
    PyRef a, b;           // held while on the stack
    Kind kind;            // of both
    Py_ssize_t pos = 0;   // next index, or a's PyDict_Next position
    Py_ssize_t pos_b = 0; // b's PyDict_Next position
  };

  // Compares two items (held by the caller): leaves at once, containers of
  // the same size by pushing them. 1, 0 or -1 as run.
  int item(PyObject* x, PyObject* y) {
    if (x == y) return 1;  // as == does for the items of lists and dicts
    if (PyUnicode_CheckExact(x) && PyUnicode_CheckExact(y)) return strings_equal(x, y);
    const Kind k = kind(x);
    if (k == Kind::other || kind(y) != k) return PyObject_RichCompareBool(x, y, Py_EQ);
    if (size(k, x) != size(k, y)) return 0;
    if (!clock_.tick() || !path_.enter(x)) return -1;
    if (!path_.enter(second(y))) {
      path_.leave(x);
      return -1;
    }
    stack_.push_back(Frame{PyRef::borrow(x), PyRef::borrow(y), k});
    return 1;
  }

  void pop() {
    Frame& f = stack_.back();
    path_.leave(second(f.b.get()));
    path_.leave(f.a.get());
    stack_.pop_back();
  }

  std::vector<Frame> stack_;
  Path path_{"equal(): a list or dict holds itself"};
  SignalClock clock_;
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
