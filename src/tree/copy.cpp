// copy: copy.deepcopy for trees of any depth. Lists and dicts are copied
// with an explicit stack; immutable leaves are shared, as deepcopy shares
// them; anything else goes to copy.deepcopy with a memo shared with ours.
#include <utility>
#include <vector>

#include "python/py_failure.hpp"
#include "python/py_ref.hpp"
#include "tree/pointer_map.hpp"
#include "tree/tree_ops.hpp"
#include "tree/walk.hpp"

namespace quillet::tree {
namespace {

// Objects deepcopy returns unchanged.
bool atomic(PyObject* obj) {
  return PyUnicode_CheckExact(obj) || obj == Py_None || PyBool_Check(obj) ||
         PyLong_CheckExact(obj) || PyFloat_CheckExact(obj) || PyBytes_CheckExact(obj);
}

class Copier {
 public:
  explicit Copier(GcPause& pause) : pause_(pause), clock_(&pause) {}
  Copier(const Copier&) = delete;
  Copier& operator=(const Copier&) = delete;
  ~Copier() {
    if (!held_) return;
    memo_.for_each([](const void* original, PyObject* copy) {
      Py_DECREF(static_cast<PyObject*>(const_cast<void*>(original)));
      Py_DECREF(copy);
    });
  }

  // The copy of `obj`: a new reference, or nullptr with an error set.
  PyObject* run(PyObject* obj) {
    PyRef result = item(obj);
    if (!result) return nullptr;
    while (!stack_.empty()) {
      // Handlers run here, where no borrowed item is in use.
      // The work counted is the containers copied, and one for every 64
      // items read: reading a shared leaf costs next to nothing.
      const std::size_t work = copied_ + ((++turns_ & 63) == 0);
      copied_ = 0;
      if (clock_.due(work)) hold_all();
      if (!clock_.tick(work)) return nullptr;
      Frame& f = stack_.back();
      PyObject* original = f.original;
      PyObject* copy = f.copy;
      Item key;
      Item child;
      if (PyList_CheckExact(original)) {
        if (PyList_GET_SIZE(original) != f.size || PyList_GET_SIZE(copy) != f.size) {
          PyErr_SetString(PyExc_RuntimeError, "list changed size during copy");
          return nullptr;
        }
        if (f.pos >= f.size) {
          stack_.pop_back();
          continue;
        }
        const Py_ssize_t i = f.pos;
        if (!next_item(original, f.pos, key, child)) continue;
        if (atomic(child)) continue;  // already shared by the shallow copy
        PyRef made = item(child);     // may push: `f` is not used again
        if (!made || PyList_SetItem(copy, i, made.release()) < 0) return nullptr;
        continue;
      }
      if (PyDict_GET_SIZE(original) != f.size) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during copy");
        return nullptr;
      }
      if (!next_item(original, f.pos, key, child)) {
        stack_.pop_back();
        continue;
      }
      if (!f.rebuild && !atomic(key)) {
        // deepcopy copies keys too: start the dict again, item by item.
        // The copies already made for it are dropped from it here, but stay
        // in the memo, which must now hold them.
        hold_all();
        f.rebuild = true;
        f.pos = 0;
        PyDict_Clear(copy);
        continue;
      }
      if (!f.rebuild && atomic(child)) continue;  // shared by the shallow copy
      const bool rebuild = f.rebuild;
      // Copying a key, or a value that is no list or dict, may run code
      // (deepcopy) that drops the other.
      const bool runs_code = rebuild || !(PyList_CheckExact(child) || PyDict_CheckExact(child));
      const PyRef held_key = runs_code ? PyRef::borrow(key) : PyRef();
      const PyRef held_child = runs_code ? PyRef::borrow(child) : PyRef();
      PyRef made_key = rebuild ? item(key) : PyRef::borrow(key);  // keys are never pushed
      if (!made_key) return nullptr;
      PyRef made = item(child);
      if (!made) return nullptr;
      int stored = 0;
      if (rebuild) {  // a key that is no atomic one may run code to hash (all is held)
        pause_.resumed([&] { stored = PyDict_SetItem(copy, made_key.get(), made.get()); });
      } else {
        stored = PyDict_SetItem(copy, made_key.get(), made.get());
      }
      if (stored < 0) return nullptr;
    }
    return result.release();
  }

 private:
  // An original container whose copy is being filled in.
  struct Frame {
    PyObject* original;  // borrowed: alive in the caller's tree and the copy, or held by the memo
    PyObject* copy;
    Py_ssize_t size;       // the original's size when it was copied
    Py_ssize_t pos = 0;    // next index, or PyDict_Next's position
    bool rebuild = false;  // the dict's keys are copied too
  };

  // The copy of one object: a new reference, or empty with an error set.
  // A list or dict is copied shallowly and pushed, so that its containers
  // are replaced by their copies in turn.
  PyRef item(PyObject* obj) {
    if (atomic(obj)) return PyRef::borrow(obj);
    const bool is_list = PyList_CheckExact(obj);
    if (!is_list && !PyDict_CheckExact(obj)) return deepcopy(obj);
    if (PyObject** done = memo_.find(obj)) return PyRef::borrow(*done);
    if (py_memo_) {  // copy.deepcopy may have copied it inside a tuple
      PyRef id(PyLong_FromVoidPtr(obj));
      if (!id) return PyRef();
      PyRef done;
      const int found = lookup(py_memo_.get(), id.get(), done);
      if (found) return found > 0 ? std::move(done) : PyRef();
    }
    PyRef made(is_list ? PyList_GetSlice(obj, 0, PyList_GET_SIZE(obj)) : PyDict_Copy(obj));
    if (!made || !remember(obj, made.get())) return PyRef();
    const Py_ssize_t size = is_list ? PyList_GET_SIZE(obj) : PyDict_GET_SIZE(obj);
    stack_.push_back(Frame{obj, made.get(), size});
    ++copied_;
    return made;
  }

  // Records `copy` as the copy of `original`. Once the caller's code may
  // run, the memo keeps both alive until the end of the call, as deepcopy's
  // memo does: an original freed during the call could otherwise lend its
  // address to a new object, and code may drop a copy from the result.
  // Until then nothing can free them, and holding them would cost a tenth
  // of the copy.
  bool remember(PyObject* original, PyObject* copy) {
    memo_.insert(original, copy);
    if (held_) Py_INCREF(original), Py_INCREF(copy);
    return !py_memo_ || remember_in_py_memo(original, copy);
  }

  // Before the first call that may run the caller's code (deepcopy, hashing
  // a copied key, signal handlers): every original and copy in the memo is
  // held from now on.
  void hold_all() {
    if (held_) return;
    held_ = true;
    memo_.for_each([](const void* original, PyObject* copy) {
      Py_INCREF(static_cast<PyObject*>(const_cast<void*>(original)));
      Py_INCREF(copy);
    });
  }

  bool remember_in_py_memo(PyObject* original, PyObject* copy) {
    PyRef id(PyLong_FromVoidPtr(original));
    return id && PyDict_SetItem(py_memo_.get(), id.get(), copy) == 0;
  }

  // copy.deepcopy(obj, memo) for what is neither a list, a dict nor atomic.
  // The memo starts with every copy made so far, so a list reached both
  // directly and through a tuple is copied once.
  PyRef deepcopy(PyObject* obj) {
    hold_all();  // importing copy may run code too
    ++copied_;
    if (!deepcopy_) {
      PyRef module(PyImport_ImportModule("copy"));
      if (!module) return PyRef();
      deepcopy_ = PyRef(PyObject_GetAttrString(module.get(), "deepcopy"));
      if (!deepcopy_) return PyRef();
    }
    if (!py_memo_) {
      py_memo_ = PyRef(PyDict_New());
      if (!py_memo_) return PyRef();
      bool stored = true;
      memo_.for_each([&](const void* original, PyObject* copy) {
        stored = stored && remember_in_py_memo(static_cast<PyObject*>(const_cast<void*>(original)), copy);
      });
      if (!stored) return PyRef();
    }
    const PyRef held = PyRef::borrow(obj);
    PyRef made;
    pause_.resumed([&] {
      made = PyRef(PyObject_CallFunctionObjArgs(deepcopy_.get(), obj, py_memo_.get(), nullptr));
    });
    return made;
  }

  std::vector<Frame> stack_;
  // Original container -> its copy, both held (released when the copier
  // goes), so that a container reached twice is copied once and cycles are
  // kept.
  PointerMap<PyObject*> memo_;
  // The memo holds its originals and copies. On a free-threaded build another
  // thread may drop an original from the caller's tree at any time, so they
  // are held from the start.
  bool held_ = Item::kHeld;
  std::size_t copied_ = 0;  // containers copied (or deepcopy calls) since the last turn of run()
  std::size_t turns_ = 0;   // turns of run()'s loop
  PyRef py_memo_;  // copy.deepcopy's memo, made on its first call
  PyRef deepcopy_;
  GcPause& pause_;  // held off while copying, resumed for the caller's code
  SignalClock clock_;
};

}  // namespace

PyObject* deep_copy(PyObject* obj) {
  return guarded([&]() -> PyObject* {
    GcPause pause;
    return Copier(pause).run(obj);
  });
}

}  // namespace quillet::tree
