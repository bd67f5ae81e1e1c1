// read_program: the tuples of quillet_tree._selectors, checked and held.
#include "select/program.hpp"

#include <cstring>

#include "python/py_state.hpp"
#include "select/text.hpp"

namespace quillet::select {
namespace {

// Each check sets TypeError and returns false when the program is malformed;
// the program comes from this package's own Python half, so that only
// happens when someone calls the private function with something else.
bool malformed() {
  PyErr_SetString(PyExc_TypeError, "not a selector program");
  return false;
}

bool tuple_of(PyObject* o, Py_ssize_t size = -1) {
  return PyTuple_Check(o) && (size < 0 || PyTuple_GET_SIZE(o) == size);
}

bool small_int(PyObject* o, long lo, long hi, long& out) {
  if (!PyLong_Check(o)) return malformed();
  out = PyLong_AsLong(o);
  if (out == -1 && PyErr_Occurred()) return false;
  return (out >= lo && out <= hi) || malformed();
}

bool str_of(PyObject* o, PyRef& out) {
  if (!PyUnicode_Check(o)) return malformed();
  out = PyRef::borrow(o);
  return true;
}

// Where an attribute of this name lives in an element dict.
Source source_of(PyObject* name) {
  const ElementKeys& k = element_keys();
  if (PyUnicode_Compare(name, k.id) == 0) return Source::kId;
  if (PyUnicode_Compare(name, k.style) == 0) return Source::kStyle;
  if (PyUnicode_CompareWithASCIIString(name, "class") == 0) return Source::kClass;
  for (PyObject* fixed : {k.tag, k.classes, k.is_self_closing, k.children}) {
    if (PyUnicode_Compare(name, fixed) == 0) return Source::kNone;
  }
  return Source::kOther;
}

class Reader {
 public:
  explicit Reader(Program& p) : p_(p) {}

  bool list(PyObject* o, std::size_t index) {
    if (!tuple_of(o, 2) || !tuple_of(PyTuple_GET_ITEM(o, 1))) return malformed();
    SelectorList& out = p_.lists.emplace_back();
    out.relative = PyObject_IsTrue(PyTuple_GET_ITEM(o, 0)) == 1;
    index_ = index;
    PyObject* items = PyTuple_GET_ITEM(o, 1);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items); ++i) {
      if (!complex(PyTuple_GET_ITEM(items, i), out.items.emplace_back())) return false;
    }
    return true;
  }

 private:
  bool complex(PyObject* o, Complex& out) {
    if (!tuple_of(o) || PyTuple_GET_SIZE(o) == 0) return malformed();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(o); ++i) {
      PyObject* part = PyTuple_GET_ITEM(o, i);
      long comb;
      if (!tuple_of(part, 2) || !small_int(PyTuple_GET_ITEM(part, 0), 0, 4, comb)) return malformed();
      Part& p = out.parts.emplace_back();
      p.comb = static_cast<Comb>(comb);
      if (!compound(PyTuple_GET_ITEM(part, 1), p.compound)) return false;
    }
    return true;
  }

  bool compound(PyObject* o, Compound& out) {
    if (!tuple_of(o, 2) || !tuple_of(PyTuple_GET_ITEM(o, 1))) return malformed();
    PyObject* tag = PyTuple_GET_ITEM(o, 0);
    if (tag != Py_None && !str_of(tag, out.tag)) return false;
    out.serial = p_.compounds++;
    PyObject* tests = PyTuple_GET_ITEM(o, 1);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tests); ++i) {
      if (!test(PyTuple_GET_ITEM(tests, i), out.tests.emplace_back())) return false;
    }
    return true;
  }

  // A reference to an earlier list.
  bool list_ref(PyObject* o, int& out) {
    long v;
    if (!small_int(o, -1, static_cast<long>(index_) - 1, v)) return false;
    out = static_cast<int>(v);
    return true;
  }

  bool test(PyObject* o, Test& t) {
    long kind;
    if (!tuple_of(o) || PyTuple_GET_SIZE(o) < 1 ||
        !small_int(PyTuple_GET_ITEM(o, 0), 1, 11, kind)) {
      return malformed();
    }
    t.kind = static_cast<Kind>(kind);
    t.serial = p_.tests++;
    const Py_ssize_t n = PyTuple_GET_SIZE(o);
    auto arg = [&](Py_ssize_t i) { return PyTuple_GET_ITEM(o, i); };
    switch (t.kind) {
      case Kind::kId:
      case Kind::kClass:
        return (n == 2 && str_of(arg(1), t.value)) || malformed();
      case Kind::kAttr: {
        long op;
        if (n != 5 || !str_of(arg(1), t.name) || !small_int(arg(2), 0, 6, op) ||
            !str_of(arg(3), t.value)) {
          return malformed();
        }
        t.op = static_cast<Op>(op);
        t.ignore_case = PyObject_IsTrue(arg(4)) == 1;
        t.source = source_of(t.name.get());
        return true;
      }
      case Kind::kNth: {
        long long a, b;
        if (n != 6 || !PyLong_Check(arg(1)) || !PyLong_Check(arg(2))) return malformed();
        a = PyLong_AsLongLong(arg(1));
        b = PyLong_AsLongLong(arg(2));
        if (PyErr_Occurred()) return false;
        constexpr long long kLimit = 1LL << 32;
        if (a < -kLimit || a > kLimit || b < -kLimit || b > kLimit) return malformed();
        t.a = a;
        t.b = b;
        t.from_end = PyObject_IsTrue(arg(3)) == 1;
        t.of_type = PyObject_IsTrue(arg(4)) == 1;
        if (t.from_end || t.of_type) p_.streamable = false;
        return list_ref(arg(5), t.list);
      }
      case Kind::kHas:
        p_.streamable = false;
        [[fallthrough]];
      case Kind::kIs:
      case Kind::kNot:
        return (n == 2 && list_ref(arg(1), t.list) && t.list >= 0) || malformed();
      case Kind::kLang: {
        if (n != 2 || !tuple_of(arg(1))) return malformed();
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(arg(1)); ++i) {
          if (!str_of(PyTuple_GET_ITEM(arg(1), i), t.ranges.emplace_back())) return false;
        }
        return true;
      }
      case Kind::kEmpty:
        p_.uses_empty = true;
        p_.streamable = false;
        return n == 1 || malformed();
      case Kind::kRoot:
      case Kind::kNever:
        return n == 1 || malformed();
    }
    return malformed();
  }

  Program& p_;
  std::size_t index_ = 0;  // the number of the list being read
};

}  // namespace

bool fits_in_memory(const Program& p, const char* who, std::size_t each, const char* unit,
                    std::size_t count) {
  if (each == 0 || count <= kMatchMemory / each) return true;
  const auto mib = static_cast<std::size_t>(static_cast<double>(each) * static_cast<double>(count) /
                                            static_cast<double>(1 << 20));
  PyErr_Format(PyExc_MemoryError,
               "%s: the selector (%zu compound selectors, %zu tests) needs %zu bytes for each %s, "
               "%zu MiB for %zu of them, more than the %zu MiB a match may take",
               who, p.compounds, p.tests, each, unit, mib, count, kMatchMemory >> 20);
  return false;
}

std::unique_ptr<Program> read_program(PyObject* program) {
  auto p = std::make_unique<Program>();
  if (!tuple_of(program) || PyTuple_GET_SIZE(program) == 0) {
    malformed();
    return nullptr;
  }
  Reader reader(*p);
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(program); ++i) {
    if (!reader.list(PyTuple_GET_ITEM(program, i), static_cast<std::size_t>(i))) return nullptr;
  }
  return p;
}

}  // namespace quillet::select
