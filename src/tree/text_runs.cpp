// text_runs: the text runs under a node in document order, as a visitor of
// walk_nodes.
#include "python/py_failure.hpp"
#include "python/py_ref.hpp"
#include "python/py_state.hpp"
#include "tree/tree_ops.hpp"
#include "tree/walk.hpp"

namespace quillet::tree {
namespace {

class Collector {
 public:
  // `skip`: borrowed, a set or frozenset of tags, or nullptr.
  Collector(PyObject* skip, PyObject* runs) : skip_(skip), runs_(runs) {}

  bool text(PyObject* run) { return PyList_Append(runs_, run) == 0; }

  // Elements whose tag is in the skip set are left out with all they hold.
  int enter(PyObject* element, PyRef& children, PyRef&) {
    if (skip_) {
      PyRef tag;
      const int found = lookup(element, element_keys().tag, tag);  // may run a key's __eq__
      if (found < 0) return -1;
      if (found && PyUnicode_Check(tag.get())) {
        const int skipped = PySet_Contains(skip_, tag.get());  // may run the tag's __hash__
        if (skipped != 0) return skipped > 0 ? 0 : -1;
      }
    }
    return children_of(element, children);
  }

  bool leave(PyRef&) { return true; }

 private:
  PyObject* skip_;
  PyObject* runs_;  // borrowed: the result list
};

}  // namespace

PyObject* text_runs(PyObject* node, PyObject* skip) {
  return guarded([&]() -> PyObject* {
    PyRef runs(PyList_New(0));
    if (!runs) return nullptr;
    PyRef held_skip = skip ? PyRef::borrow(skip) : PyRef();
    Collector collector(skip, runs.get());
    if (!walk_nodes(node, collector, "text(): the tree holds itself (a list inside itself)"))
      return nullptr;
    return runs.release();
  });
}

}  // namespace quillet::tree
