// copy: copy.deepcopy for trees of any depth. Lists and dicts are copied
// with an explicit stack; immutable leaves are shared, as deepcopy shares them.
#include <new>
#include <vector>

#include "tree/pointer_map.hpp"
#include "python/py_failure.hpp"
#include "python/py_ref.hpp"
#include "tree/tree_ops.hpp"

namespace quillet::tree {
namespace {

// An original container whose copy is being filled in.
struct Frame {
  PyRef original;  // held: copy.deepcopy of a leaf runs Python code
  PyObject* copy;  // borrowed: owned by its parent copy, or by the result
  Py_ssize_t pos;  // next index, or PyDict_Next's position
};

// Objects deepcopy returns unchanged.
bool atomic(PyObject* obj) {
  return PyUnicode_CheckExact(obj) || obj == Py_None || PyBool_Check(obj) ||
         PyLong_CheckExact(obj) || PyFloat_CheckExact(obj) || PyBytes_CheckExact(obj);
}

class Copier {
 public:
  // The copy of `obj`: a new reference, or nullptr with an error set.
  PyObject* run(PyObject* obj) {
    PyRef result = item(obj);
    if (!result) return nullptr;
    while (!stack_.empty()) {
      Frame& f = stack_.back();
      PyObject* original = f.original.get();
      PyObject* copy = f.copy;
      if (PyList_CheckExact(original)) {
        if (f.pos >= PyList_GET_SIZE(copy)) {
          stack_.pop_back();
          continue;
        }
        if (PyList_GET_SIZE(original) != PyList_GET_SIZE(copy)) {
          PyErr_SetString(PyExc_RuntimeError, "list changed size during copy");
          return nullptr;
        }
        const Py_ssize_t i = f.pos++;
        PyObject* child = PyList_GET_ITEM(original, i);
        if (atomic(child)) continue;  // already shared by the shallow copy
        PyRef made = item(child);  // may push: `f` is not used again
        if (!made) return nullptr;
        PyList_SetItem(copy, i, made.release());  // drops the shared original
      } else {
        PyObject* key;
        PyObject* child;
        if (!PyDict_Next(original, &f.pos, &key, &child)) {
          stack_.pop_back();
          continue;
        }
        if (atomic(child)) continue;
        PyRef held_key = PyRef::borrow(key);
        PyRef made = item(child);
        if (!made || PyDict_SetItem(copy, held_key.get(), made.get()) < 0) return nullptr;
      }
    }
    return result.release();
  }

 private:
  // The copy of one object: a new reference, or empty with an error set.
  // A list or dict is copied shallowly and pushed, so that its containers
  // are replaced by their copies in turn.
  PyRef item(PyObject* obj) {
    if (atomic(obj)) return PyRef::borrow(obj);
    const bool is_list = PyList_CheckExact(obj);
    if (!is_list && !PyDict_CheckExact(obj)) return deepcopy(obj);
    if (PyObject** done = memo_.find(obj)) return PyRef::borrow(*done);
    PyRef made(is_list ? PyList_GetSlice(obj, 0, PyList_GET_SIZE(obj)) : PyDict_Copy(obj));
    if (!made) return made;
    memo_.insert(obj, made.get());
    stack_.push_back(Frame{PyRef::borrow(obj), made.get(), 0});
    return made;
  }

  // copy.deepcopy(obj) for what is neither a list, a dict nor atomic.
  PyRef deepcopy(PyObject* obj) {
    if (!deepcopy_) {
      PyRef module(PyImport_ImportModule("copy"));
      if (!module) return PyRef();
      deepcopy_ = PyRef(PyObject_GetAttrString(module.get(), "deepcopy"));
      if (!deepcopy_) return PyRef();
    }
    return PyRef(PyObject_CallOneArg(deepcopy_.get(), obj));
  }

  std::vector<Frame> stack_;
  // Original container -> its copy (borrowed: the result owns every copy), so
  // that a container reached twice is copied once and cycles are kept.
  PointerMap<PyObject*> memo_;
  PyRef deepcopy_;
};

}  // namespace

PyObject* deep_copy(PyObject* obj) {
  return guarded([&]() -> PyObject* {
    GcPause pause;
    return Copier().run(obj);
  });
}

}  // namespace quillet::tree
