// The rules every walk over the caller's Python objects follows, written once.
//
// Code the caller controls can run inside many calls that look harmless: a
// dict lookup runs a colliding key's __eq__, a set lookup a str subclass's
// __hash__, an allocation may start a collection that runs finalizers, and a
// signal check runs handlers. Any of them may change or drop what is being
// walked. So here:
//  1. A container on the walk's stack is held by a strong reference for as
//     long as it is there. Items are read borrowed (next_item; held on a
//     free-threaded build, see Item) and used at
//     once; one is held before any call that can run code (a lookup, a
//     comparison, a signal check), and signal handlers run only where no
//     borrowed item is in use: at the top of a walk's loop, or between the
//     pieces of a str the caller holds.
//  2. Every such call is followed by an error check; a walk has one error
//     exit, and the frames' destructors release what they hold.
//  3. A container met again while it is still on the current path is a
//     cycle, reported as ValueError (Path) a bounded number of levels down.
//  4. Pending signal handlers run after a bounded amount of work
//     (SignalClock), so Ctrl-C stops any walk.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <unordered_set>
#include <utility>
#include <vector>

#include "python/py_ref.hpp"

namespace quillet::tree {

// Runs pending signal handlers once per kWorkPerCheck units of work. A node
// or a container is a unit, and so are every kCharsPerUnit characters read:
// a check comes every few milliseconds at most, whatever the tree holds.
class SignalClock {
 public:
  static constexpr std::size_t kWorkPerCheck = 65536;
  static constexpr std::size_t kCharsPerUnit = 256;

  SignalClock() = default;
  // For a walk that holds the collector off: handlers run with it as the
  // caller's code last set it (see GcPause::resumed).
  explicit SignalClock(GcPause* pause) : pause_(pause) {}

  // Whether the next tick(work) runs the handlers.
  bool due(std::size_t work = 1) const { return work_ + work >= kWorkPerCheck; }

  // Counts `work` units. False with the handler's exception set when a
  // handler raised.
  bool tick(std::size_t work = 1) {
    work_ += work;
    if (work_ < kWorkPerCheck) return true;
    work_ = 0;
    int failed = 0;
    if (pause_) {
      pause_->resumed([&] { failed = PyErr_CheckSignals(); });
    } else {
      failed = PyErr_CheckSignals();
    }
    return failed == 0;
  }

  // Counts `n` characters read, and runs the handlers when due.
  bool chars(Py_ssize_t n) { return tick(static_cast<std::size_t>(n) / kCharsPerUnit); }

  static constexpr Py_ssize_t kPiece = Py_ssize_t{1} << 20;

  // Calls fn(begin, end) over [0, n) in pieces of kPiece characters, so that
  // one huge str cannot hold signals back. Handlers run only between pieces:
  // a caller reading a str longer than kPiece holds it. The characters of the
  // last piece count towards the next check. False when fn or a handler
  // failed (fn returns false with an error set).
  template <class F>
  bool in_pieces(Py_ssize_t n, F&& fn) {
    for (Py_ssize_t at = 0; at < n; at += kPiece) {
      if (at > 0 && !chars(kPiece)) return false;
      if (!fn(at, std::min(n, at + kPiece))) return false;
    }
    work_ += static_cast<std::size_t>(n % kPiece) / kCharsPerUnit;
    return true;
  }

 private:
  std::size_t work_ = 0;
  GcPause* pause_ = nullptr;
};

// The containers on a walk's current path, to tell a container that holds
// itself from one that is merely shared. A cycle makes a walk go down
// forever, so it shows below any depth: the first kUntracked levels are
// only counted, which costs shallow trees nothing, and containers deeper
// than that go into a hash set. A container met again while it is in the
// set is a cycle, found within kUntracked levels plus twice the cycle's
// length of where it starts.
class Path {
 public:
  static constexpr std::size_t kUntracked = 256;

  // `cycle_message` is the ValueError's text (a literal).
  explicit Path(const char* cycle_message) : message_(cycle_message) {}
  Path(const Path&) = delete;
  Path& operator=(const Path&) = delete;

  // Goes one level down, into `key` (an object's address) and, for walks
  // over two trees at once, `other` (the other tree's container there).
  // False with ValueError set when either is on the path already. Throws
  // std::bad_alloc.
  bool enter(const void* key, const void* other = nullptr) {
    if (depth_++ < kUntracked) return true;
    const bool fresh = deep_.insert(key).second;
    if (fresh && (!other || deep_.insert(tag(other)).second)) return true;
    if (fresh) deep_.erase(key);
    --depth_;
    PyErr_SetString(PyExc_ValueError, message_);
    return false;
  }

  // Goes back up from the level entered last, with the same arguments.
  void leave(const void* key, const void* other = nullptr) noexcept {
    if (--depth_ < kUntracked) return;
    deep_.erase(key);
    if (other) deep_.erase(tag(other));
  }

 private:
  // The other tree's containers are kept apart: the same object may sit on
  // both sides without holding itself. Objects are aligned, so the low bit
  // of an address is free to mark them.
  static const void* tag(const void* other) {
    return reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(other) | 1);
  }

  const char* message_;
  std::size_t depth_ = 0;
  std::unordered_set<const void*> deep_;
};

// An item read from a container the caller holds. With the GIL only code
// this thread runs can drop the container's reference to it, and the walks
// hold an item before they run any, so it is borrowed. On a free-threaded
// build another thread may drop it at any moment: it is held, taken with
// the container's own lock (PyList_GetItemRef, a critical section around
// PyDict_Next).
class Item {
 public:
#ifdef Py_GIL_DISABLED
  static constexpr bool kHeld = true;
#else
  static constexpr bool kHeld = false;
#endif
  Item() = default;
  Item(const Item&) = delete;
  Item& operator=(const Item&) = delete;
  ~Item() {
    if constexpr (kHeld) Py_XDECREF(object_);
  }
  // Takes `object`: a new reference on a free-threaded build, else borrowed.
  void reset(PyObject* object) noexcept {
    if constexpr (kHeld) Py_XDECREF(object_);
    object_ = object;
  }
  PyObject* get() const noexcept { return object_; }
  operator PyObject*() const noexcept { return object_; }

 private:
  PyObject* object_ = nullptr;
};

// The next item of a list, tuple or dict, for walks that read one item per
// step. `pos` is the next index, or PyDict_Next's position. The list's length
// is read afresh each time: code run since the last step may have changed
// it. Sets `value` (and `key`, for a dict; it is left as it was otherwise)
// to the items (see Item); false when the container has no more items. Runs
// no Python code.
// next_item for a container known to be a dict.
inline bool next_dict_item(PyObject* dict, Py_ssize_t& pos, Item& key, Item& value) {
  PyObject* k = nullptr;
  PyObject* v = nullptr;
  int more = 0;
#ifdef Py_GIL_DISABLED
  Py_BEGIN_CRITICAL_SECTION(dict);
  more = PyDict_Next(dict, &pos, &k, &v);
  if (more) Py_INCREF(k), Py_INCREF(v);
  Py_END_CRITICAL_SECTION();
#else
  more = PyDict_Next(dict, &pos, &k, &v);
#endif
  if (!more) return false;
  key.reset(k);
  value.reset(v);
  return true;
}

inline bool next_item(PyObject* container, Py_ssize_t& pos, Item& key, Item& value) {
  if (PyDict_Check(container)) return next_dict_item(container, pos, key, value);
  if (PyList_Check(container)) {
#ifdef Py_GIL_DISABLED
    // Another thread may shorten the list between a look at its length and
    // the read: an index past the end is its end.
    PyObject* v = PyList_GetItemRef(container, pos);
    if (!v) {
      PyErr_Clear();
      return false;
    }
    ++pos;
    value.reset(v);
#else
    if (pos >= PyList_GET_SIZE(container)) return false;
    value.reset(PyList_GET_ITEM(container, pos++));
#endif
    return true;
  }
  if (pos >= PyTuple_GET_SIZE(container)) return false;
  PyObject* v = PyTuple_GET_ITEM(container, pos++);  // a tuple never changes
  if constexpr (Item::kHeld) Py_INCREF(v);
  value.reset(v);
  return true;
}

// d[key] for a dict d: 1 with `value` set to a strong reference, 0 when the
// key is missing, -1 with the error set (a key's __eq__ or __hash__ raised).
// Runs Python code when hashes collide.
inline int lookup(PyObject* d, PyObject* key, PyRef& value) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* v = nullptr;
  const int found = PyDict_GetItemRef(d, key, &v);  // strong, taken under the dict's lock
  if (found > 0) value = PyRef(v);
  return found;
#else
  PyObject* v = PyDict_GetItemWithError(d, key);
  if (!v) return PyErr_Occurred() ? -1 : 0;
  value = PyRef::borrow(v);
  return 1;
#endif
}

// An element's child list: 1 with `children` set, 0 when it has none (no
// "children" key), -1 with an error set (TypeError for a value that is no
// list).
int children_of(PyObject* element, PyRef& children);

// Whether a container met by walk_nodes may stand at more than one place in
// the tree by itself: an element dict while the visitor's enter runs (the
// walk holds it once, and once more as an Item on a free-threaded build), or
// the child list enter got from children_of (held by that PyRef), counted
// beyond its one place. Code elsewhere may hold it too, so true means maybe;
// false means this container has one place, and so has everything below it
// unless a container there says otherwise.
inline bool held_elsewhere_element(PyObject* element) {
  return Py_REFCNT(element) > (Item::kHeld ? 3 : 2);
}
inline bool held_elsewhere_children(PyObject* children) { return Py_REFCNT(children) > 2; }

// Walks a tree of nodes (a str, an element dict, a list of nodes, or None)
// in document order, calling the visitor:
//   bool text(PyObject* run);          a text run (a str), borrowed: held by
//                                      the visitor before it runs any code
//   int enter(PyObject* element, PyRef& children, PyRef& memo);
//       1 to walk `children` (set to a list) and then call leave with `memo`,
//       0 to go on with the next node, -1 with an error set;
//   bool leave(PyRef& memo);
// Every hook returns false (or -1) with an error set to end the walk. None
// in a list is skipped; any other node is a TypeError. A list met again
// inside itself is a ValueError. True when the walk got through.
template <class Visitor>
bool walk_nodes(PyObject* root, Visitor& visitor, const char* cycle_message) {
  struct Frame {
    PyRef list;       // held while on the stack
    Py_ssize_t pos;   // next index
    PyRef memo;       // what enter() left for leave(); empty for a bare list
    bool element;     // leave() is due when the list ends
  };
  std::vector<Frame> stack;
  Path path(cycle_message);
  SignalClock clock;

  // Visits one node (borrowed); may push a frame.
  auto visit = [&](PyObject* node) -> bool {
    if (PyUnicode_Check(node)) return visitor.text(node);
    if (node == Py_None) return true;
    bool element = false;
    PyRef list, memo;
    if (PyList_Check(node)) {
      list = PyRef::borrow(node);
    } else if (PyDict_Check(node)) {
      const PyRef held = PyRef::borrow(node);  // enter's lookups may run code
      const int descend = visitor.enter(node, list, memo);
      if (descend <= 0) return descend == 0;
      element = true;
    } else {
      PyErr_Format(PyExc_TypeError, "a node is a str or a dict, not %s", Py_TYPE(node)->tp_name);
      return false;
    }
    if (!path.enter(list.get())) return false;
    stack.push_back(Frame{std::move(list), 0, std::move(memo), element});
    return true;
  };

  const PyRef held_root = PyRef::borrow(root);
  if (!visit(root)) return false;
  Item key;
  Item item;
  while (!stack.empty()) {
    if (!clock.tick()) return false;  // before an item is read
    Frame& f = stack.back();
    if (next_item(f.list.get(), f.pos, key, item)) {
#ifndef Py_GIL_DISABLED
      // A tree's nodes lie all over memory: asking for the next node's
      // header now lets reading it overlap with the work on this one.
      PyObject* list = f.list.get();
      if (PyList_Check(list) && f.pos < PyList_GET_SIZE(list)) {
        __builtin_prefetch(PyList_GET_ITEM(list, f.pos));
      }
#endif
      if (!visit(item)) return false;  // may push: `f` is not used again
      continue;
    }
    Frame done = std::move(f);
    stack.pop_back();
    path.leave(done.list.get());
    if (done.element && !visitor.leave(done.memo)) return false;
  }
  return true;
}

}  // namespace quillet::tree
