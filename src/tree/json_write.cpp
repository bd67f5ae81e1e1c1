// to_json: json.dumps's output for trees of any depth, written with an
// explicit stack into one character buffer.
#include <cmath>
#include <new>
#include <string>
#include <vector>

#include "python/py_failure.hpp"
#include "python/py_ref.hpp"
#include "python/py_str.hpp"
#include "tree/tree_ops.hpp"
#include "tree/walk.hpp"

namespace quillet::tree {
namespace {

// A container being written: the list, tuple or dict and how far it got.
struct Frame {
  PyRef container;  // held while on the stack
  Py_ssize_t pos;   // next index, or PyDict_Next's position
  bool first;       // nothing written inside it yet
};

// Writes into a buffer of Out characters: char when every character is
// escaped to ASCII, Py_UCS4 otherwise.
template <class Out>
class Writer {
 public:
  static constexpr bool kAscii = sizeof(Out) == 1;

  // The whole text of `obj`: a new str, or nullptr with an error set.
  PyObject* write(PyObject* obj) {
    const PyRef held = PyRef::borrow(obj);
    if (!value(obj)) return nullptr;
    while (!stack_.empty()) {
      // Handlers run here, where no borrowed item is in use; nothing below
      // runs code until the next turn (strs are held while read in pieces).
      if (!clock_.tick()) return nullptr;
      Frame& f = stack_.back();
      PyObject* c = f.container.get();
      Item key;
      Item item;
      if (!next_item(c, f.pos, key, item)) {
        put(PyDict_Check(c) ? '}' : ']');
        path_.leave(c);
        stack_.pop_back();
        continue;
      }
      if (!f.first) ascii(", ");
      f.first = false;
      if (key) {
        if (!dict_key(key)) return nullptr;
        ascii(": ");
      }
      if (!value(item)) return nullptr;  // may push: `f` is not used again
    }
    if constexpr (kAscii) {
      PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(out_.size()), 127);
      if (s) std::copy(out_.begin(), out_.end(), PyUnicode_1BYTE_DATA(s));
      return s;
    } else {
      return PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out_.data(),
                                       static_cast<Py_ssize_t>(out_.size()));
    }
  }

 private:
  void put(Py_UCS4 c) { out_.push_back(static_cast<Out>(c)); }
  void ascii(const char* s) {
    while (*s) put(static_cast<unsigned char>(*s++));
  }

  // Writes a scalar, or opens a container and pushes it. False with an
  // error set for an object JSON has no form for, or a container that holds
  // itself.
  bool value(PyObject* obj) {
    if (PyUnicode_Check(obj)) return string(obj);
    if (obj == Py_None) return ascii("null"), true;
    if (obj == Py_True) return ascii("true"), true;
    if (obj == Py_False) return ascii("false"), true;
    const bool is_dict = PyDict_Check(obj);
    if (is_dict || PyList_Check(obj) || PyTuple_Check(obj)) {
      if (!path_.enter(obj)) return false;
      put(is_dict ? '{' : '[');
      stack_.push_back(Frame{PyRef::borrow(obj), 0, true});
      return true;
    }
    if (PyLong_Check(obj) || PyFloat_Check(obj)) return number(obj);
    PyErr_Format(PyExc_TypeError, "Object of type %s is not JSON serializable",
                 Py_TYPE(obj)->tp_name);
    return false;
  }

  // int.__repr__ or float.__repr__, with json's names for the non-finite.
  bool number(PyObject* obj) {
    if (PyFloat_Check(obj)) {
      const double d = PyFloat_AS_DOUBLE(obj);
      if (std::isnan(d)) return ascii("NaN"), true;
      if (std::isinf(d)) return ascii(d > 0 ? "Infinity" : "-Infinity"), true;
    }
    PyRef text(PyFloat_Check(obj) ? PyFloat_Type.tp_repr(obj) : PyLong_Type.tp_repr(obj));
    if (!text) return false;
    const char* s = PyUnicode_AsUTF8(text.get());
    if (!s) return false;
    ascii(s);
    return true;
  }

  // Keys as json.dumps converts them: str as is; bool, None and numbers as
  // their JSON text in quotes; anything else is a TypeError.
  bool dict_key(PyObject* key) {
    if (PyUnicode_Check(key)) return string(key);
    if (key == Py_None || key == Py_True || key == Py_False || PyLong_Check(key) ||
        PyFloat_Check(key)) {
      put('"');
      if (!value(key)) return false;
      put('"');
      return true;
    }
    PyErr_Format(PyExc_TypeError, "keys must be str, int, float, bool or None, not %s",
                 Py_TYPE(key)->tp_name);
    return false;
  }

  bool string(PyObject* s) {
    put('"');
    const StrStorage t = str_storage(s);
    // Handlers may run between the pieces of a long str: it stays held.
    const PyRef held = t.length > SignalClock::kPiece ? PyRef::borrow(s) : PyRef();
    const bool done = clock_.in_pieces(t.length, [&](Py_ssize_t begin, Py_ssize_t end) {
      switch (t.kind) {
        case PyUnicode_1BYTE_KIND: chars(static_cast<const Py_UCS1*>(t.data) + begin, end - begin); break;
        case PyUnicode_2BYTE_KIND: chars(static_cast<const Py_UCS2*>(t.data) + begin, end - begin); break;
        default: chars(static_cast<const Py_UCS4*>(t.data) + begin, end - begin); break;
      }
      return true;
    });
    put('"');
    return done;
  }

  template <class Char>
  void chars(const Char* s, Py_ssize_t n) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (Py_ssize_t i = 0; i < n; ++i) {
      const Py_UCS4 c = s[i];
      const bool plain = c >= 0x20 && c != '"' && c != '\\' && (!kAscii || c < 0x7F);
      if (plain) {
        put(c);
        continue;
      }
      put('\\');
      switch (c) {
        case '"': put('"'); continue;
        case '\\': put('\\'); continue;
        case '\b': put('b'); continue;
        case '\f': put('f'); continue;
        case '\n': put('n'); continue;
        case '\r': put('r'); continue;
        case '\t': put('t'); continue;
        default: break;
      }
      auto u4 = [&](Py_UCS4 v) {
        put('u');
        for (int shift = 12; shift >= 0; shift -= 4) put(kHex[(v >> shift) & 0xF]);
      };
      if (c >= 0x10000) {  // as a surrogate pair
        u4(0xD800 | ((c - 0x10000) >> 10));
        put('\\');
        u4(0xDC00 | ((c - 0x10000) & 0x3FF));
      } else {
        u4(c);
      }
    }
  }

  std::vector<Out> out_;
  std::vector<Frame> stack_;
  Path path_{"Circular reference detected"};
  SignalClock clock_;
};

}  // namespace

PyObject* to_json(PyObject* obj, bool ensure_ascii) {
  return guarded([&]() -> PyObject* {
    if (ensure_ascii) return Writer<char>().write(obj);
    return Writer<Py_UCS4>().write(obj);
  });
}

}  // namespace quillet::tree
