// The rules every walk over the caller's Python objects follows, written once.
//
// Code the caller controls can run inside many calls that look harmless: a
// dict lookup runs a colliding key's __eq__, a set lookup a str subclass's
// __hash__, an allocation may start a collection that runs finalizers, and a
// signal check runs handlers. Any of them may change or drop what is being
// walked. So here:
//  1. A container on the walk's stack is held by a strong reference for as
//     long as it is there, and an item is held before any call that can run
//     code (next_item, lookup).
//  2. Every such call is followed by an error check; a walk has one error
//     exit, and the frames' destructors release what they hold.
//  3. A container met again while it is still on the current path is a
//     cycle, reported as ValueError at once (Path).
//  4. Pending signal handlers run after a bounded amount of work
//     (SignalClock), so Ctrl-C stops any walk.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <unordered_set>
#include <utility>
#include <vector>

#include "python/py_ref.hpp"

namespace quillet::tree {

// Runs pending signal handlers once per kWorkPerCheck units of work. A node
// or a container is a unit, and so are every kCharsPerUnit characters read:
// a check comes at least every millisecond or so, whatever the tree holds.
class SignalClock {
 public:
  static constexpr std::size_t kWorkPerCheck = 4096;
  static constexpr std::size_t kCharsPerUnit = 256;

  SignalClock() = default;
  // For a walk that holds the collector off: handlers run with it as the
  // caller's code last set it (see GcPause::resumed).
  explicit SignalClock(GcPause* pause) : pause_(pause) {}

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

  // Counts `n` characters read.
  bool chars(Py_ssize_t n) { return tick(static_cast<std::size_t>(n) / kCharsPerUnit); }

  // Calls fn(begin, end) over [0, n) in pieces of about a million characters,
  // counting each, so that one huge str cannot hold signals back. False when
  // fn or a handler failed (fn returns false with an error set).
  template <class F>
  bool in_pieces(Py_ssize_t n, F&& fn) {
    constexpr Py_ssize_t kPiece = Py_ssize_t{1} << 20;
    for (Py_ssize_t at = 0; at < n; at += kPiece) {
      const Py_ssize_t end = std::min(n, at + kPiece);
      if (!fn(at, end) || !chars(end - at)) return false;
    }
    return true;
  }

 private:
  std::size_t work_ = 0;
  GcPause* pause_ = nullptr;
};

// The containers on a walk's current path, to tell a container that holds
// itself from one that is merely shared. A small counting filter answers
// "certainly not on the path" for almost every container at the cost of one
// increment; only a possible hit looks further, in the first kShallow
// entries (kept in order) and then in a hash set of the deeper ones, so a
// path of any depth costs near-constant time per step.
class Path {
 public:
  // `cycle_message` is the ValueError's text (a literal).
  explicit Path(const char* cycle_message) : message_(cycle_message) {}
  Path(const Path&) = delete;
  Path& operator=(const Path&) = delete;

  // Adds `key` (an object's address, or an address with its low bit set
  // for the second tree of a pair). False with ValueError set when it is
  // on the path already. Throws std::bad_alloc.
  bool enter(const void* key) {
    std::uint32_t& count = filter_[slot(key)];
    if (count != 0 && contains(key)) {
      PyErr_SetString(PyExc_ValueError, message_);
      return false;
    }
    if (depth_ < kShallow) {
      shallow_[depth_] = key;
    } else {
      deep_.insert(key);
    }
    ++depth_;
    ++count;
    return true;
  }

  // Takes `key`, the last one entered, off the path.
  void leave(const void* key) noexcept {
    --depth_;
    --filter_[slot(key)];
    if (depth_ >= kShallow) deep_.erase(key);
  }

  std::size_t depth() const { return depth_; }

 private:
  static constexpr std::size_t kShallow = 64;
  static constexpr unsigned kFilterBits = 9;

  static std::size_t slot(const void* key) {
    // Fibonacci hashing: the multiplication carries every bit of the
    // address, the always-zero low ones included, into the top bits kept.
    const auto bits = reinterpret_cast<std::uintptr_t>(key);
    return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ull) >> (64 - kFilterBits));
  }

  bool contains(const void* key) const {
    const std::size_t shallow = std::min(depth_, kShallow);
    if (std::find(shallow_.begin(), shallow_.begin() + static_cast<std::ptrdiff_t>(shallow), key) !=
        shallow_.begin() + static_cast<std::ptrdiff_t>(shallow))
      return true;
    return !deep_.empty() && deep_.count(key) != 0;
  }

  const char* message_;
  std::size_t depth_ = 0;
  std::array<std::uint32_t, std::size_t{1} << kFilterBits> filter_{};
  std::array<const void*, kShallow> shallow_{};
  std::unordered_set<const void*> deep_;
};

// The next item of a list, tuple or dict, for walks that read one item per
// step. `pos` is the next index, or PyDict_Next's position. The list's length
// is read afresh each time: code run since the last step may have changed
// it. Sets `value` (and `key`, for a dict) to strong references; false when
// the container has no more items. Reading calls no Python code, but
// dropping what `key` and `value` held before may run a finalizer: both new
// items are held before that happens.
inline bool next_item(PyObject* container, Py_ssize_t& pos, PyRef& key, PyRef& value) {
  if (PyDict_Check(container)) {
    PyObject* k;
    PyObject* v;
    if (!PyDict_Next(container, &pos, &k, &v)) return false;
    // Both are held before either old reference goes: dropping one may run
    // a finalizer.
    PyRef held_key = PyRef::borrow(k), held_value = PyRef::borrow(v);
    key = std::move(held_key);
    value = std::move(held_value);
    return true;
  }
  if (PyList_Check(container)) {
    if (pos >= PyList_GET_SIZE(container)) return false;
    value = PyRef::borrow(PyList_GET_ITEM(container, pos++));
    return true;
  }
  if (pos >= PyTuple_GET_SIZE(container)) return false;
  value = PyRef::borrow(PyTuple_GET_ITEM(container, pos++));
  return true;
}

// d[key] for a dict d: 1 with `value` set to a strong reference, 0 when the
// key is missing, -1 with the error set (a key's __eq__ or __hash__ raised).
// Runs Python code when hashes collide.
inline int lookup(PyObject* d, PyObject* key, PyRef& value) {
  PyObject* v = PyDict_GetItemWithError(d, key);
  if (!v) return PyErr_Occurred() ? -1 : 0;
  value = PyRef::borrow(v);
  return 1;
}

// An element's child list: 1 with `children` set, 0 when it has none (no
// "children" key), -1 with an error set (TypeError for a value that is no
// list).
int children_of(PyObject* element, PyRef& children);

// Walks a tree of nodes (a str, an element dict, a list of nodes, or None)
// in document order, calling the visitor:
//   bool text(PyObject* run);          a text run (a str)
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

  // Visits one node (held by the caller); may push a frame.
  auto visit = [&](PyObject* node) -> bool {
    if (!clock.tick()) return false;
    if (PyUnicode_Check(node)) return visitor.text(node);
    if (node == Py_None) return true;
    bool element = false;
    PyRef list, memo;
    if (PyList_Check(node)) {
      list = PyRef::borrow(node);
    } else if (PyDict_Check(node)) {
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
  PyRef key, item;
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (next_item(f.list.get(), f.pos, key, item)) {
      if (!visit(item.get())) return false;  // may push: `f` is not used again
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
