// text_runs: the text runs under a node in document order, collected with
// an explicit stack.
#include <new>
#include <vector>

#include "python/py_state.hpp"
#include "python/py_failure.hpp"
#include "python/py_ref.hpp"
#include "tree/tree_ops.hpp"

namespace quillet::tree {
namespace {

// A list of nodes being read: borrowed, since nothing here runs Python code.
struct Frame {
  PyObject* nodes;
  Py_ssize_t pos;
};

class Collector {
 public:
  explicit Collector(PyObject* skip) : skip_(skip) {}

  // A new list of the runs, or nullptr with an error set.
  PyObject* run(PyObject* node) {
    runs_ = PyRef(PyList_New(0));
    if (!runs_ || !visit(node)) return nullptr;
    while (!stack_.empty()) {
      Frame& f = stack_.back();
      if (f.pos >= PyList_GET_SIZE(f.nodes)) {
        stack_.pop_back();
        continue;
      }
      if (!visit(PyList_GET_ITEM(f.nodes, f.pos++))) return nullptr;  // may push
    }
    return runs_.release();
  }

 private:
  // A text run is collected; an element's children, or a list, pushed.
  // Anything else is a TypeError.
  bool visit(PyObject* node) {
    if (PyUnicode_Check(node)) return PyList_Append(runs_.get(), node) == 0;
    if (node == Py_None) return true;
    if (PyList_Check(node)) {
      stack_.push_back(Frame{node, 0});
      return true;
    }
    if (!PyDict_Check(node)) {
      PyErr_Format(PyExc_TypeError, "a node is a str or a dict, not %s", Py_TYPE(node)->tp_name);
      return false;
    }
    if (skip_) {
      PyObject* tag = PyDict_GetItemWithError(node, element_keys().tag);
      if (tag && PyUnicode_Check(tag)) {
        const int skipped = PySet_Contains(skip_, tag);
        if (skipped) return skipped > 0;  // -1 is an error, 1 skips the element
      }
    }
    PyObject* children = PyDict_GetItemWithError(node, element_keys().children);
    if (!children) return !PyErr_Occurred();
    if (!PyList_Check(children)) {
      PyErr_Format(PyExc_TypeError, "an element's children are a list, not %s",
                   Py_TYPE(children)->tp_name);
      return false;
    }
    stack_.push_back(Frame{children, 0});
    return true;
  }

  PyObject* skip_;  // borrowed: a set or frozenset of tags, or nullptr
  PyRef runs_;
  std::vector<Frame> stack_;
};

}  // namespace

PyObject* text_runs(PyObject* node, PyObject* skip) {
  return guarded([&]() -> PyObject* {
    return Collector(skip).run(node);
  });
}

}  // namespace quillet::tree
