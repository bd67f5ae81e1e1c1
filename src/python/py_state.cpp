// The process-wide Python objects, made under the interpreter lock.
#include "python/py_state.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "python/py_ref.hpp"

#include "types/element_schema.hpp"

namespace quillet {
namespace {

ElementKeys g_keys = {};
std::atomic<PyObject*> g_panic_class{nullptr};

// What the collector's pauses share (see GcPause): one for the process, found
// by both modules through a capsule in the interpreter's dict.
struct GcShared {
  std::uint64_t pauses = 0;  // in progress, in every thread
  std::uint64_t started = 0;  // pauses ever started, to tell resumed code's changes from theirs
  bool wanted = false;       // whether the collector is to be on once the last pause ends
#ifdef Py_GIL_DISABLED
  PyMutex mutex = {};
#endif
};
GcShared g_own_gc;                  // this module's, shared unless the other module's came first
GcShared* g_gc_shared = &g_own_gc;  // set once, at import
constexpr const char* kGcCapsule = "quillet._gc_pause.v1";

// Holds the shared state's lock, where there is one: with the interpreter lock
// every use of it is already one at a time, since none of them runs Python code.
class GcLock {
 public:
  GcLock() {
#ifdef Py_GIL_DISABLED
    PyMutex_Lock(&g_gc_shared->mutex);
#endif
  }
  ~GcLock() {
#ifdef Py_GIL_DISABLED
    PyMutex_Unlock(&g_gc_shared->mutex);
#endif
  }
  GcLock(const GcLock&) = delete;
  GcLock& operator=(const GcLock&) = delete;
  GcShared* operator->() const { return g_gc_shared; }
};

// Finds the pauses' state another module of this process made, or offers this
// module's; false with the error set.
bool share_gc_state() {
  PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());  // borrowed
  if (!dict) return true;  // nowhere to share it: this module's own
  const PyRef key(PyUnicode_FromString(kGcCapsule));
  const PyRef mine(key ? PyCapsule_New(&g_own_gc, kGcCapsule, nullptr) : nullptr);
  if (!mine) return false;
  PyObject* found = PyDict_SetDefault(dict, key.get(), mine.get());  // borrowed; never removed
  if (!found) return false;
  void* shared = PyCapsule_GetPointer(found, kGcCapsule);
  if (!shared) return false;
  g_gc_shared = static_cast<GcShared*>(shared);
  return true;
}

#if PY_VERSION_HEX < 0x030A0000
// gc.isenabled, gc.disable and gc.enable; borrowed from the gc module,
// which lives as long as the interpreter.
struct GcSwitch {
  PyObject* isenabled;
  PyObject* disable;
  PyObject* enable;
};
GcSwitch g_gc = {};

bool fetch_gc_switch() {
  if (g_gc.enable) return true;
  const PyRef gc(PyImport_ImportModule("gc"));
  if (!gc) return false;
  PyRef isenabled(PyObject_GetAttrString(gc.get(), "isenabled"));
  PyRef disable(PyObject_GetAttrString(gc.get(), "disable"));
  PyRef enable(PyObject_GetAttrString(gc.get(), "enable"));
  if (!isenabled || !disable || !enable) return false;
  g_gc = GcSwitch{isenabled.release(), disable.release(), enable.release()};
  return true;
}

// The result of calling `f` (a gc function taking nothing) as a truth
// value; the error set before the call, if any, is kept. These functions
// cannot fail, but a failure would read as false and be dropped.
bool call_gc(PyObject* f) noexcept {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  const PyRef result(PyObject_CallNoArgs(f));
  const bool truth = result && PyObject_IsTrue(result.get()) == 1;
  PyErr_Clear();
  PyErr_Restore(type, value, traceback);
  return truth;
}
#endif

}  // namespace

bool init_py_state() noexcept {
  if (g_keys.tag) return true;  // a second module, or a second import, found them made
#if PY_VERSION_HEX < 0x030A0000
  if (!fetch_gc_switch()) return false;
#endif
  if (!share_gc_state()) return false;
  // The fixed keys in their order, then the empty str; none is kept unless
  // all are made.
  std::array<PyRef, element::kFixedKeys.size() + 1> made;
  for (std::size_t i = 0; i < made.size(); ++i) {
    const std::string_view name = i < element::kFixedKeys.size() ? element::kFixedKeys[i] : "";
    PyObject* s = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    if (!s) return false;
    PyUnicode_InternInPlace(&s);
    made[i] = PyRef(s);
  }
  static_assert(element::kFixedKeys[5] == element::kChildren);
  g_keys = ElementKeys{made[0].release(), made[1].release(), made[2].release(), made[3].release(),
                       made[4].release(), made[5].release(), made[6].release()};
  return true;
}

bool declare_free_threaded([[maybe_unused]] PyObject* module) {
#ifdef Py_GIL_DISABLED
  return PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) == 0;
#else
  return true;
#endif
}

const ElementKeys& element_keys() { return g_keys; }

bool gc_disable() noexcept {
#if PY_VERSION_HEX >= 0x030A0000
  return PyGC_Disable() != 0;
#else
  const bool was_enabled = call_gc(g_gc.isenabled);
  call_gc(g_gc.disable);
  return was_enabled;
#endif
}

void gc_enable() noexcept {
#if PY_VERSION_HEX >= 0x030A0000
  PyGC_Enable();
#else
  call_gc(g_gc.enable);
#endif
}

PyObject* panic_class() {
  PyObject* cls = g_panic_class.load(std::memory_order_acquire);
  if (cls) return cls;
  // The dotted name gives the class its __module__ and __name__.
  PyObject* made = PyErr_NewException("corvane_runtime.PanicException", PyExc_BaseException, nullptr);
  if (!made) return nullptr;
  // Another thread may have made the class meanwhile (making one may also run
  // a collection, whose finalizers may let another thread in): the first kept
  // is the only one.
  if (g_panic_class.compare_exchange_strong(cls, made, std::memory_order_acq_rel)) return made;
  Py_DECREF(made);
  return cls;
}

GcPause::GcPause() noexcept {
  const GcLock shared;
  const bool was_on = gc_disable();
  // The first pause takes the caller's setting; a later one sees whether
  // code turned the collector on since.
  shared->wanted = shared->pauses == 0 ? was_on : shared->wanted || was_on;
  ++shared->pauses;
  ++shared->started;
}

GcPause::~GcPause() {
  const GcLock shared;
  shared->wanted = gc_disable() || shared->wanted;
  if (--shared->pauses == 0 && shared->wanted) gc_enable();
}

std::uint64_t GcPause::resume() noexcept {
  const GcLock shared;
  if (shared->pauses != 1) return 0;  // others are building: the collector stays off
  if (shared->wanted) gc_enable();
  return shared->started;  // at least 1: this pause started
}

void GcPause::pause_again(std::uint64_t seen) noexcept {
  const GcLock shared;
  const bool was_on = gc_disable();
  // Unless another pause started meanwhile, the switch is as the resumed code
  // left it. (This was the only pause in progress when that code began, so
  // any other that ended since also started since.)
  shared->wanted = seen != 0 && shared->started == seen ? was_on : shared->wanted || was_on;
}

}  // namespace quillet
