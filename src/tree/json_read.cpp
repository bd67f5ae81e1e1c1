// from_json: json.loads for documents of any depth, read with an explicit
// stack straight from the str's own storage.
#include <algorithm>
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

// A container being filled: a list, or a dict and the key its next value
// goes under.
struct Frame {
  PyRef container;
  PyRef key;  // empty for a list
};

// Why reading stopped: json.JSONDecodeError's message and position.
struct Failure {
  const char* message;
  Py_ssize_t pos;
};

template <class Char>
class Reader {
 public:
  Reader(PyObject* text, const Char* s, Py_ssize_t n, GcPause& pause)
      : text_(text), s_(s), n_(n), clock_(&pause) {}

  // The document's value: a new reference, or nullptr with an error set.
  PyObject* read() {
    // As json.loads: a byte order mark is no whitespace, and says so.
    if (n_ > 0 && s_[0] == 0xFEFF) return fail({"Unexpected UTF-8 BOM (decode using utf-8-sig)", 0});
    PyRef value;
    for (;;) {
      // A value starts here: a scalar, or a container that is pushed.
      if (!clock_.tick()) return nullptr;
      skip_ws();
      if (at('[') || at('{')) {
        const bool is_dict = at('{');
        ++pos_;
        PyRef made(is_dict ? PyDict_New() : PyList_New(0));
        if (!made) return nullptr;
        skip_ws();
        if (!at(is_dict ? '}' : ']')) {
          stack_.push_back(Frame{std::move(made), PyRef()});
          if (is_dict && !key()) return nullptr;
          continue;
        }
        ++pos_;
        value = std::move(made);
      } else {
        value = scalar();
        if (!value) return nullptr;
      }
      // Hand the value to its container, closing every container that ends here.
      for (;;) {
        if (stack_.empty()) {
          skip_ws();
          if (pos_ != n_) return fail({"Extra data", pos_});
          return value.release();
        }
        Frame& f = stack_.back();
        const bool is_dict = static_cast<bool>(f.key);
        const int rc = is_dict ? PyDict_SetItem(f.container.get(), f.key.get(), value.get())
                               : PyList_Append(f.container.get(), value.get());
        if (rc < 0) return nullptr;
        skip_ws();
        if (at(',')) {
          const Py_ssize_t comma = pos_++;
#if PY_VERSION_HEX >= 0x030D0000
          // From 3.13 on, json names a comma right before the closing bracket.
          skip_ws();
          if (at(is_dict ? '}' : ']'))
            return fail({is_dict ? "Illegal trailing comma before end of object"
                                 : "Illegal trailing comma before end of array",
                         comma});
#else
          (void)comma;
#endif
          if (is_dict && !key()) return nullptr;
          break;
        }
        if (!at(is_dict ? '}' : ']')) {
          return fail({"Expecting ',' delimiter", pos_});
        }
        ++pos_;
        value = std::move(f.container);
        stack_.pop_back();
      }
    }
  }

 private:
  bool at(char c) const { return pos_ < n_ && s_[pos_] == static_cast<Char>(c); }
  static bool is_ws(Char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
  // A string character that needs no attention: no quote, backslash or
  // control character.
  static bool is_plain(Char c) { return c != '"' && c != '\\' && c >= 0x20; }

  // The end of the run of characters from `p` that satisfy `keep`, found in
  // pieces between which signal handlers run; a handler that raises throws
  // PythonErrorSet, which leaves through guarded() with its error.
  template <class Keep>
  Py_ssize_t run_end(Py_ssize_t p, Keep keep) {
    constexpr Py_ssize_t kPiece = SignalClock::kPiece;
    for (;;) {
      const Py_ssize_t stop = std::min(n_, p + kPiece);
      while (p < stop && keep(s_[p])) ++p;
      if (p < stop || p == n_) return p;
      if (!clock_.chars(kPiece)) throw PythonErrorSet{};
    }
  }

  void skip_ws() { pos_ = run_end(pos_, is_ws); }

  // Sets json.JSONDecodeError(message, text, pos). Returns nullptr.
  PyObject* fail(Failure f) {
    PyRef module(PyImport_ImportModule("json"));
    PyRef type = module ? PyRef(PyObject_GetAttrString(module.get(), "JSONDecodeError")) : PyRef();
    if (!type) return nullptr;
    PyRef exc(PyObject_CallFunction(type.get(), "sOn", f.message, text_, f.pos));
    if (exc) PyErr_SetObject(type.get(), exc.get());
    return nullptr;
  }

  // Reads `"key" :` for the dict on top of the stack. False with an error set.
  bool key() {
    skip_ws();
    if (!at('"')) return fail({"Expecting property name enclosed in double quotes", pos_}), false;
    PyRef k = string();
    if (!k) return false;
    // Interned: one str per distinct key, and the very objects parse uses
    // for the element keys, so lookups and comparisons find them by address.
    PyObject* shared = k.release();
    PyUnicode_InternInPlace(&shared);
    k = PyRef(shared);
    skip_ws();
    if (!at(':')) return fail({"Expecting ':' delimiter", pos_}), false;
    ++pos_;
    stack_.back().key = std::move(k);
    return true;
  }

  bool word(const char* w) {
    Py_ssize_t i = 0;
    for (; w[i]; ++i)
      if (pos_ + i >= n_ || s_[pos_ + i] != static_cast<Char>(w[i])) return false;
    pos_ += i;
    return true;
  }

  PyRef scalar() {
    if (at('"')) return string();
    if (word("null")) return PyRef::borrow(Py_None);
    if (word("true")) return PyRef::borrow(Py_True);
    if (word("false")) return PyRef::borrow(Py_False);
    if (word("NaN")) return PyRef(PyFloat_FromDouble(Py_NAN));
    if (word("Infinity")) return PyRef(PyFloat_FromDouble(Py_HUGE_VAL));
    if (word("-Infinity")) return PyRef(PyFloat_FromDouble(-Py_HUGE_VAL));
    return number();
  }

  bool digit() const { return pos_ < n_ && s_[pos_] >= '0' && s_[pos_] <= '9'; }

  // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)? as int or float.
  PyRef number() {
    const Py_ssize_t start = pos_;
    if (at('-')) ++pos_;
    if (!digit()) {
      pos_ = start;
      return fail({"Expecting value", start}), PyRef();
    }
    if (at('0')) {
      ++pos_;
    } else {
      while (digit()) ++pos_;
    }
    bool is_float = false;
    if (at('.') && pos_ + 1 < n_ && s_[pos_ + 1] >= '0' && s_[pos_ + 1] <= '9') {
      is_float = true;
      ++pos_;
      while (digit()) ++pos_;
    }
    if (at('e') || at('E')) {
      Py_ssize_t p = pos_ + 1;
      if (p < n_ && (s_[p] == '-' || s_[p] == '+')) ++p;
      if (p < n_ && s_[p] >= '0' && s_[p] <= '9') {
        is_float = true;
        pos_ = p;
        while (digit()) ++pos_;
      }
    }
    std::string digits(static_cast<std::size_t>(pos_ - start), '\0');
    for (Py_ssize_t i = start; i < pos_; ++i) digits[static_cast<std::size_t>(i - start)] = static_cast<char>(s_[i]);
    if (!is_float) return PyRef(PyLong_FromString(digits.c_str(), nullptr, 10));
    const double d = PyOS_string_to_double(digits.c_str(), nullptr, nullptr);
    if (d == -1.0 && PyErr_Occurred()) return PyRef();
    return PyRef(PyFloat_FromDouble(d));
  }

  static int hex(Py_UCS4 c) {
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
    return -1;
  }

  // The four hex digits at `p`, or -1. As json.loads, digits that end the
  // text count as an invalid escape (a string needs its closing quote).
  long u4(Py_ssize_t p) const {
    if (p + 4 >= n_) return -1;
    long v = 0;
    for (Py_ssize_t i = p; i < p + 4; ++i) {
      const int h = hex(s_[i]);
      if (h < 0) return -1;
      v = v * 16 + h;
    }
    return v;
  }

  // The string starting at the quote at pos_; pos_ ends after its closing quote.
  PyRef string() {
    const Py_ssize_t start = pos_++;
    // Without escapes the str is a slice of the text.
    Py_ssize_t p = run_end(pos_, is_plain);
    if (p < n_ && s_[p] == '"') {
      PyRef s(PyUnicode_Substring(text_, pos_, p));
      pos_ = p + 1;
      return s;
    }
    buffer_.assign(s_ + pos_, s_ + p);
    pos_ = p;
    for (;;) {
      if (pos_ >= n_) return fail({"Unterminated string starting at", start}), PyRef();
      const Py_UCS4 c = s_[pos_];
      if (c == '"') break;
      if (c < 0x20) return fail({"Invalid control character at", pos_}), PyRef();
      if (c != '\\') {  // a run up to the next quote, escape or control character
        const Py_ssize_t end = run_end(pos_ + 1, is_plain);
        buffer_.append(s_ + pos_, s_ + end);
        pos_ = end;
        continue;
      }
      if (pos_ + 1 >= n_) return fail({"Unterminated string starting at", start}), PyRef();
      if (!clock_.tick()) return PyRef();
      const Py_UCS4 e = s_[pos_ + 1];
      Py_UCS4 decoded;
      switch (e) {
        case '"': decoded = '"'; break;
        case '\\': decoded = '\\'; break;
        case '/': decoded = '/'; break;
        case 'b': decoded = '\b'; break;
        case 'f': decoded = '\f'; break;
        case 'n': decoded = '\n'; break;
        case 'r': decoded = '\r'; break;
        case 't': decoded = '\t'; break;
        case 'u': {
          const long v = u4(pos_ + 2);
          if (v < 0) return fail({"Invalid \\uXXXX escape", pos_ + 1}), PyRef();
          pos_ += 6;
          Py_UCS4 cp = static_cast<Py_UCS4>(v);
          // A high surrogate followed by an escaped low one is one character.
          if (cp >= 0xD800 && cp <= 0xDBFF && pos_ + 1 < n_ && s_[pos_] == '\\' && s_[pos_ + 1] == 'u') {
            const long low = u4(pos_ + 2);
            if (low < 0) return fail({"Invalid \\uXXXX escape", pos_ + 1}), PyRef();
            if (low >= 0xDC00 && low <= 0xDFFF) {
              cp = 0x10000 + ((cp - 0xD800) << 10) + static_cast<Py_UCS4>(low - 0xDC00);
              pos_ += 6;
            }
          }
          buffer_.push_back(cp);
          continue;
        }
        default: return fail({"Invalid \\escape", pos_}), PyRef();
      }
      buffer_.push_back(decoded);
      pos_ += 2;
    }
    ++pos_;
    return PyRef(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, buffer_.data(),
                                                static_cast<Py_ssize_t>(buffer_.size())));
  }

  PyObject* text_;  // borrowed: the argument
  const Char* s_;
  Py_ssize_t n_;
  Py_ssize_t pos_ = 0;
  std::vector<Frame> stack_;
  std::u32string buffer_;
  SignalClock clock_;
};

}  // namespace

PyObject* from_json(PyObject* text) {
  return guarded([&]() -> PyObject* {
    GcPause pause;
    const StrStorage t = str_storage(text);
    switch (t.kind) {
      case PyUnicode_1BYTE_KIND: return Reader(text, static_cast<const Py_UCS1*>(t.data), t.length, pause).read();
      case PyUnicode_2BYTE_KIND: return Reader(text, static_cast<const Py_UCS2*>(t.data), t.length, pause).read();
      default: return Reader(text, static_cast<const Py_UCS4*>(t.data), t.length, pause).read();
    }
  });
}

}  // namespace quillet::tree
