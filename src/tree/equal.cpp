// equal: a == b for trees of any depth. Pairs of lists, tuples and dicts of
// the same size are compared on a stack of frames instead of the C stack;
// everything else is compared by Python's own comparison.
#include <algorithm>
#include <cstring>
#include <utility>
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

// Lists, tuples and dicts, and subclasses that keep their base's ==, are
// compared here item by item; any other object by its own ==.
enum class Kind { other, list, tuple, dict };

Kind kind(PyObject* o) {
  if (PyList_CheckExact(o)) return Kind::list;
  if (PyDict_CheckExact(o)) return Kind::dict;
  if (PyTuple_CheckExact(o)) return Kind::tuple;
  const richcmpfunc compare = Py_TYPE(o)->tp_richcompare;
  if (PyList_Check(o) && compare == PyList_Type.tp_richcompare) return Kind::list;
  if (PyDict_Check(o) && compare == PyDict_Type.tp_richcompare) return Kind::dict;
  if (PyTuple_Check(o) && compare == PyTuple_Type.tp_richcompare) return Kind::tuple;
  return Kind::other;
}

Py_ssize_t size(Kind k, PyObject* o) {
  return k == Kind::list ? PyList_GET_SIZE(o) : k == Kind::tuple ? PyTuple_GET_SIZE(o) : PyDict_GET_SIZE(o);
}

// Two containers of one kind and the same size, held.
struct Pair {
  PyRef a, b;
  Kind kind;
};

// Each pair is compared in two steps: its leaves first, in one pass that
// sets its container items aside as pairs of their own; then, while it
// stays on the path as a frame, each pair set aside. Items of one container
// lie together in memory, so the first step reads them in order, and a pair
// that holds no containers (most lists of classes and of text) needs no
// frame at all. The result is that of == except in which comparison runs
// first, which shows only when comparing leaves raises or has side effects,
// and in that a list or dict met again inside itself is a ValueError where
// == would recurse until RecursionError.
class Comparer {
 public:
  // 1 when equal, 0 when not, -1 with an error set.
  int run(PyObject* a, PyObject* b) {
    if (kind(a) == Kind::other || kind(b) == Kind::other) {
      // a == b itself: no shortcut for a leaf that is b (nan == nan is False).
      PyRef r(PyObject_RichCompare(a, b, Py_EQ));
      return r ? PyObject_IsTrue(r.get()) : -1;
    }
    const int same = item(a, b);
    if (same != 1 || pending_.empty()) return same;  // a is b, or they differ at once
    for (;;) {
      // Handlers run here, where no borrowed item is in use.
      if (!clock_.tick()) return -1;
      if (!stack_.empty() && pending_.size() == stack_.back().pending_base) {
        // Every pair the top frame set aside is done.
        Frame& f = stack_.back();
        path_.leave(f.pair.a.get(), f.pair.b.get());
        stack_.pop_back();
        continue;
      }
      if (pending_.empty()) return 1;
      Pair p = std::move(pending_.back());
      pending_.pop_back();
      const std::size_t base = pending_.size();
      const int leaves = p.kind == Kind::dict ? dicts(p) : sequences(p);
      if (leaves != 1) return leaves;
      // A pair that set containers aside stays on the path until they are done.
      if (pending_.size() > base) {
        if (!path_.enter(p.a.get(), p.b.get())) return -1;
        stack_.push_back(Frame{std::move(p), base});
      }
    }
  }

 private:
  // A pair whose container items, set aside in pending_ beyond
  // pending_base, are being compared.
  struct Frame {
    Pair pair;
    std::size_t pending_base;
  };

  // Compares two items (borrowed): leaves at once, containers of the same
  // size by setting them aside. 1, 0 or -1 as run.
  [[gnu::always_inline]] int item(PyObject* x, PyObject* y) {
    if (x == y) return 1;  // as == does for the items of lists and dicts
    if (PyUnicode_CheckExact(x) && PyUnicode_CheckExact(y)) return strings_equal(x, y);
    return other_item(x, y);
  }

  // item() for anything but the same object or two strs: kept out of line,
  // so that the loops over items stay small.
  [[gnu::noinline]] int other_item(PyObject* x, PyObject* y) {
    const Kind k = kind(x);
    if (k == Kind::other || kind(y) != k) {
      // Their own == may run code that drops them from their containers.
      const PyRef held_x = PyRef::borrow(x), held_y = PyRef::borrow(y);
      return PyObject_RichCompareBool(x, y, Py_EQ);
    }
    if (size(k, x) != size(k, y)) return 0;
    if (k != Kind::dict) {
      // Lists of strs (classes, runs of text) are done here, with no pair
      // set aside; anything else in them sends the pair to sequences().
      const int same = strs_only(k, x, y);
      if (same != 2) return same;
    }
    pending_.push_back(Pair{PyRef::borrow(x), PyRef::borrow(y), k});
    return 1;
  }

  // Compares two lists or tuples of the same size whose items are strs or
  // the same objects: 1 or 0; 2 at the first other item. Runs no code.
  static int strs_only(Kind k, PyObject* a, PyObject* b) {
#ifdef Py_GIL_DISABLED
    // Another thread may change a list meanwhile: both are locked, and read
    // as long as both last.
    int same = 1;
    Py_BEGIN_CRITICAL_SECTION2(a, b);
    same = strs_only_unlocked(std::min(size(k, a), size(k, b)), a, b);
    if (same == 1 && size(k, a) != size(k, b)) same = 0;
    Py_END_CRITICAL_SECTION2();
    return same;
#else
    return strs_only_unlocked(size(k, a), a, b);
#endif
  }

  static int strs_only_unlocked(Py_ssize_t n, PyObject* a, PyObject* b) {
    PyObject* const* xs = PySequence_Fast_ITEMS(a);  // a list's or a tuple's items
    PyObject* const* ys = PySequence_Fast_ITEMS(b);
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* x = xs[i];
      PyObject* y = ys[i];
      if (x == y) continue;
      if (!PyUnicode_CheckExact(x) || !PyUnicode_CheckExact(y)) return 2;
      if (!strings_equal(x, y)) return 0;
    }
    return 1;
  }

  // Compares the items of two lists or tuples. Lengths are read at every
  // step: comparing leaves may change them.
  int sequences(const Pair& p) {
    PyObject* a = p.a.get();
    PyObject* b = p.b.get();
#ifdef Py_GIL_DISABLED
    Item unused, x, y;  // held: another thread may drop them from the lists
    for (Py_ssize_t pos_a = 0, pos_b = 0;;) {
      const bool more_a = next_item(a, pos_a, unused, x);
      const bool more_b = next_item(b, pos_b, unused, y);
      if (!more_a || !more_b) return size(p.kind, a) == size(p.kind, b);
      const int same = item(x, y);
      if (same != 1) return same;
    }
#else
    for (Py_ssize_t i = 0;; ++i) {
      const Py_ssize_t na = size(p.kind, a), nb = size(p.kind, b);
      if (i >= na || i >= nb) return na == nb;
      const int same = p.kind == Kind::list ? item(PyList_GET_ITEM(a, i), PyList_GET_ITEM(b, i))
                                            : item(PyTuple_GET_ITEM(a, i), PyTuple_GET_ITEM(b, i));
      if (same != 1) return same;
    }
#endif
  }

  // Compares two dicts: each key of a is looked up in b.
  int dicts(const Pair& p) {
    PyObject* a = p.a.get();
    PyObject* b = p.b.get();
    Item key, x, key_b, y;
    for (Py_ssize_t pos = 0, pos_b = 0; next_dict_item(a, pos, key, x);) {
      int same;
      // Dicts parsed from markup list their keys in the same order, so the
      // key at the same place in b is usually this very object.
      if (next_dict_item(b, pos_b, key_b, y) && key_b.get() == key.get()) {
        same = item(x, y);
      } else {
        // The lookup may run the key's __eq__, which may drop x, or the key.
        const PyRef held_key = PyRef::borrow(key), held_x = PyRef::borrow(x);
        PyRef held_y;
        same = lookup(b, key, held_y);
        if (same == 1) same = item(x, held_y.get());
      }
      if (same != 1) return same;
    }
    return 1;
  }

  std::vector<Frame> stack_;  // the path: pairs whose items are being compared
  std::vector<Pair> pending_;  // container items set aside by the frames
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
