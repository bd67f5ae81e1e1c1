// compile_selector, select and drop: a program in a capsule, matched over a
// tree's index.
#include "select/select.hpp"

#include <algorithm>
#include <memory>
#include <unordered_set>
#include <vector>

#include "python/py_failure.hpp"
#include "python/py_ref.hpp"
#include "python/py_state.hpp"
#include "select/index.hpp"
#include "select/match.hpp"
#include "select/program.hpp"
#include "select/stream.hpp"
#include "tree/walk.hpp"

namespace quillet::select {
namespace {

constexpr const char* kCapsule = "quillet_tree.selector";

void free_program(PyObject* capsule) {
  delete static_cast<Program*>(PyCapsule_GetPointer(capsule, kCapsule));
}

const Program* program_of(PyObject* compiled) {
  return static_cast<const Program*>(PyCapsule_GetPointer(compiled, kCapsule));
}

// Indexes `tree` and matches the program: false with an error set.
bool match(PyObject* tree, const Program& program, const char* who, TreeIndex& index,
           Bits& matched) {
  if (!index.build(tree, program.uses_empty, who)) return false;
  Matcher matcher(program, index, who);
  return matcher.run(matched);
}

// Builds the tree without the matched elements, as a visitor of walk_nodes
// over the same tree the index was built from: the elements come in the
// same order, which is checked, since code run during the walk may change
// the tree.
class Dropper {
 public:
  Dropper(const TreeIndex& index, const Bits& matched) : ix_(index), matched_(matched) {
    // The last element of each element's subtree, to skip a dropped one.
    end_.resize(ix_.size());
    for (std::uint32_t e = 0; e < ix_.size(); ++e) end_[e] = e;
    for (std::uint32_t e = ix_.size(); e-- > 0;) {
      const std::uint32_t p = ix_.nodes[e].parent;
      if (p != kNone) end_[p] = std::max(end_[p], end_[e]);
    }
  }

  bool start() {
    out_.emplace_back();
    out_.back().list = PyRef(PyList_New(0));
    return static_cast<bool>(out_.back().list);
  }

  bool text(PyObject* run) {
    out_.back().runs.push_back(PyRef::borrow(run));
    return true;
  }

  int enter(PyObject* element, PyRef& children, PyRef& memo) {
    if (next_ >= ix_.size() || ix_.elements[next_].get() != element) return changed();
    const std::uint32_t e = next_;
    if (matched_[e]) {
      next_ = end_[e] + 1;
      return 0;
    }
    ++next_;
    PyRef copy(PyDict_Copy(element));
    if (!copy) return -1;
    PyObject* classes_key = element_keys().classes;
    PyRef classes;
    const int found = tree::lookup(copy.get(), classes_key, classes);
    if (found < 0) return -1;
    if (found && PyList_Check(classes.get())) {
      PyRef fresh(PyList_GetSlice(classes.get(), 0, PyList_GET_SIZE(classes.get())));
      if (!fresh || PyDict_SetItem(copy.get(), classes_key, fresh.get()) < 0) return -1;
    }
    if (!flush(out_.back()) || PyList_Append(out_.back().list.get(), copy.get()) < 0) return -1;
    const int descend = tree::children_of(element, children);
    if (descend <= 0) return descend;
    memo = std::move(copy);
    return start() ? 1 : -1;
  }

  bool leave(PyRef& memo) {
    Out done = std::move(out_.back());
    out_.pop_back();
    return flush(done) &&
           PyDict_SetItem(memo.get(), element_keys().children, done.list.get()) == 0;
  }

  // The top-level list, once the walk is through.
  PyObject* finish() {
    if (next_ != ix_.size()) {
      changed();
      return nullptr;
    }
    if (!flush(out_.back())) return nullptr;
    return out_.back().list.release();
  }

 private:
  struct Out {
    PyRef list;               // the new list of nodes
    std::vector<PyRef> runs;  // text runs met since its last element, to be joined
  };

  int changed() {
    PyErr_SetString(PyExc_RuntimeError, "drop(): the tree changed during the call");
    return -1;
  }

  // Appends the pending text runs to o's list as one run.
  bool flush(Out& o) {
    if (o.runs.empty()) return true;
    PyRef run;
    if (o.runs.size() == 1) {
      run = std::move(o.runs[0]);
    } else {
      PyRef parts(PyList_New(static_cast<Py_ssize_t>(o.runs.size())));
      if (!parts) return false;
      for (std::size_t i = 0; i < o.runs.size(); ++i) {
        PyList_SET_ITEM(parts.get(), static_cast<Py_ssize_t>(i), o.runs[i].release());
      }
      run = PyRef(PyUnicode_Join(element_keys().empty, parts.get()));
      if (!run) return false;
    }
    o.runs.clear();
    return PyList_Append(o.list.get(), run.get()) == 0;
  }

  const TreeIndex& ix_;
  const Bits& matched_;
  std::vector<std::uint32_t> end_;
  std::uint32_t next_ = 0;  // the number of the next element the walk meets
  std::vector<Out> out_;
};

}  // namespace

PyObject* compile_selector(PyObject* program) {
  return guarded([&]() -> PyObject* {
    std::unique_ptr<Program> p = read_program(program);
    if (!p) return nullptr;
    PyObject* capsule = PyCapsule_New(p.get(), kCapsule, free_program);
    if (capsule) p.release();
    return capsule;
  });
}

PyObject* select(PyObject* tree, PyObject* compiled, bool first) {
  return guarded([&]() -> PyObject* {
    const Program* program = program_of(compiled);
    if (!program) return nullptr;
    const PyRef held(PyRef::borrow(compiled));  // code run meanwhile may drop the selector
    if (program->streamable) return stream_select(tree, *program, first);
    TreeIndex index;
    Bits matched;
    if (!match(tree, *program, "select()", index, matched)) return nullptr;
    // An element that stands at two places is listed at the first.
    std::unordered_set<PyObject*> listed;
    PyRef out(first ? nullptr : PyList_New(0));
    if (!first && !out) return nullptr;
    for (std::uint32_t e = 0; e < index.size(); ++e) {
      if (!matched[e]) continue;
      PyObject* element = index.elements[e].get();
      if (index.nodes[e].shared && !listed.insert(element).second) continue;
      if (first) return PyRef::borrow(element).release();
      if (PyList_Append(out.get(), element) < 0) return nullptr;
    }
    return first ? PyRef::borrow(Py_None).release() : out.release();
  });
}

PyObject* drop(PyObject* tree, PyObject* compiled) {
  return guarded([&]() -> PyObject* {
    const Program* program = program_of(compiled);
    if (!program) return nullptr;
    const PyRef held(PyRef::borrow(compiled));
    TreeIndex index;
    Bits matched;
    if (!match(tree, *program, "drop()", index, matched)) return nullptr;
    // What select lists goes wherever it stands: an element that stands at
    // two places and matches at one is dropped from both.
    std::unordered_set<PyObject*> gone;
    for (std::uint32_t e = 0; e < index.size(); ++e) {
      if (matched[e] && index.nodes[e].shared) gone.insert(index.elements[e].get());
    }
    if (!gone.empty()) {
      for (std::uint32_t e = 0; e < index.size(); ++e) {
        if (index.nodes[e].shared && gone.count(index.elements[e].get())) matched[e] = 1;
      }
    }
    Dropper dropper(index, matched);
    if (!dropper.start()) return nullptr;
    if (!tree::walk_nodes(tree, dropper, "drop(): the tree holds itself (a list inside itself)")) {
      return nullptr;
    }
    return dropper.finish();
  });
}

}  // namespace quillet::select
