// to_markup: writes a tree back as markup that parse reads as the same tree.
//
// Text runs are written as they are; elements in one canonical form:
// `<name k="v" ...>children</name>`, or `<name k="v" .../>` when
// is_self_closing is True. Whitespace before an element is not written
// (parse drops it), and id, class and style go where the brackets inside
// attribute values keep the tag whole (a tag ends at the `>` that balances
// its `<`, quoted or not).
#include <algorithm>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "base/char_classes.hpp"
#include "python/py_failure.hpp"
#include "python/py_ref.hpp"
#include "python/py_state.hpp"
#include "python/py_str.hpp"
#include "tree/tree_ops.hpp"
#include "types/element_schema.hpp"

namespace quillet::tree {
namespace {

// A list of nodes being written, and the name whose close tag ends it.
struct Frame {
  PyObject* nodes;  // borrowed: nothing here runs Python code
  Py_ssize_t pos;
  PyObject* name;  // borrowed; nullptr for the top level
};

// An attribute to write, with the bracket profile of its value: the change
// in bracket depth across it and the lowest depth reached inside it,
// relative to its start.
struct Attribute {
  PyObject* key;  // borrowed
  PyRef value;
  Py_ssize_t delta = 0;
  Py_ssize_t low = 0;
};

// Whether `key` (a str) is one of the keys every element has.
bool is_fixed_key(PyObject* key) {
  const ElementKeys& k = element_keys();
  for (PyObject* fixed : {k.tag, k.id, k.classes, k.style, k.is_self_closing, k.children})
    if (key == fixed) return true;
  if (PyUnicode_CHECK_INTERNED(key)) return false;  // the interned ones are the same objects
  for (PyObject* fixed : {k.tag, k.id, k.classes, k.style, k.is_self_closing, k.children})
    if (PyUnicode_Compare(key, fixed) == 0) return true;
  return false;
}

// Whether `s` (a str) is a name or key the markup allows.
bool valid_name(PyObject* s) {
  const StrStorage t = str_storage(s);
  if (t.length == 0) return false;
  for (Py_ssize_t i = 0; i < t.length; ++i)
    if (!char_class::is_name_char(PyUnicode_READ(t.kind, t.data, i))) return false;
  return true;
}

void profile(Attribute& a) {
  const StrStorage t = str_storage(a.value.get());
  for (Py_ssize_t i = 0; i < t.length; ++i) {
    const Py_UCS4 c = PyUnicode_READ(t.kind, t.data, i);
    if (c == '<') ++a.delta;
    if (c == '>') a.low = std::min(a.low, --a.delta);
  }
}

// Whether writing `order` keeps the bracket depth above the tag's own
// level until its last `>`.
bool keeps_tag_whole(const std::vector<Attribute*>& order) {
  Py_ssize_t depth = 0;
  for (const Attribute* a : order) {
    if (depth + a->low < 0) return false;
    depth += a->delta;
  }
  return true;
}

// The order to write attributes in: `others` keep their order (it is the
// dict's key order); `movable` (id, class, style and attributes that took a
// fixed key's place, whose position parse does not keep) go first, unless
// brackets in the values need some of them later.
std::vector<Attribute*> arrange(std::vector<Attribute>& movable, std::vector<Attribute>& others) {
  std::vector<Attribute*> order;
  for (Attribute& a : movable) order.push_back(&a);
  for (Attribute& a : others) order.push_back(&a);
  if (keeps_tag_whole(order)) return order;
  // Those that close brackets go each at the earliest place that works.
  std::vector<Attribute*> late, arranged;
  for (Attribute& a : movable) (a.low < 0 ? late : arranged).push_back(&a);
  for (Attribute& a : others) arranged.push_back(&a);
  for (Attribute* a : late) {
    std::size_t at = 0;
    for (; at <= arranged.size(); ++at) {
      std::vector<Attribute*> trial = arranged;
      trial.insert(trial.begin() + static_cast<std::ptrdiff_t>(at), a);
      if (keeps_tag_whole(trial)) break;
    }
    arranged.insert(arranged.begin() + static_cast<std::ptrdiff_t>(std::min(at, arranged.size())), a);
  }
  return keeps_tag_whole(arranged) ? arranged : order;
}

class Writer {
 public:
  // The markup of `node`: a new str, or nullptr with an error set.
  PyObject* run(PyObject* node) {
    root_ = node;
    pieces_ = PyRef(PyList_New(0));
    if (!pieces_ || !visit(node)) return nullptr;
    while (!stack_.empty()) {
      Frame& f = stack_.back();
      if (f.pos < PyList_GET_SIZE(f.nodes)) {
        if (!visit(PyList_GET_ITEM(f.nodes, f.pos++))) return nullptr;  // may push
        continue;
      }
      PyObject* name = f.name;
      stack_.pop_back();
      if (name && !(put("</") && put(name) && put(">"))) return nullptr;
    }
    PyRef empty(PyUnicode_FromStringAndSize("", 0));
    return empty ? PyUnicode_Join(empty.get(), pieces_.get()) : nullptr;
  }

 private:
  bool put(PyObject* s) { return PyList_Append(pieces_.get(), s) == 0; }
  // The literal `s`, made on first use and kept for this call.
  bool put(const char* s) {
    for (auto& [text, str] : literals_) {
      if (text == s) return put(str.get());
    }
    PyRef str(PyUnicode_FromString(s));
    if (!str) return false;
    literals_.emplace_back(s, std::move(str));
    return put(literals_.back().second.get());
  }

  bool visit(PyObject* node) {
    if (PyUnicode_Check(node)) return put(node);
    if (node == Py_None) return true;
    if (PyList_Check(node)) {
      stack_.push_back(Frame{node, 0, nullptr});
      return true;
    }
    if (PyDict_Check(node)) return element(node);
    PyErr_Format(PyExc_TypeError, "a node is a str or a dict, not %s", Py_TYPE(node)->tp_name);
    return false;
  }

  // d[key] when it is a str (borrowed), d's default `fallback` when the key is
  // missing; nullptr with a TypeError otherwise.
  static PyObject* str_item(PyObject* d, PyObject* key, PyObject* fallback) {
    PyObject* v = PyDict_GetItemWithError(d, key);
    if (!v) return PyErr_Occurred() ? nullptr : fallback;
    if (PyUnicode_Check(v)) return v;
    PyErr_Format(PyExc_TypeError, "the value of %R is a str, not %s", key, Py_TYPE(v)->tp_name);
    return nullptr;
  }

  static bool unwritable(const char* what, PyObject* value) {
    PyErr_Format(PyExc_ValueError, "cannot write %s %R as markup", what, value);
    return false;
  }

  bool add(std::vector<Attribute>& to, PyObject* key, PyRef value) {
    if (PyUnicode_FindChar(value.get(), '"', 0, str_length(value.get()), 1) != -1)
      return unwritable("an attribute value holding a double quote,", value.get());
    to.push_back(Attribute{key, std::move(value)});
    profile(to.back());
    return true;
  }

  bool element(PyObject* d) {
    const ElementKeys& k = element_keys();
    PyObject* tag = str_item(d, k.tag, nullptr);
    if (!tag) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "an element has no tag");
      return false;
    }
    std::vector<Attribute> movable, others;
    PyObject* name = tag;
    if (!valid_name(tag)) {  // only an attribute named "tag" can give such a value
      name = stand_in();
      if (!name || !add(movable, k.tag, PyRef::borrow(tag))) return false;
    }
    PyObject* id = str_item(d, k.id, nullptr);
    PyObject* style = str_item(d, k.style, nullptr);
    if (PyErr_Occurred()) return false;
    if (id && str_length(id) && !add(movable, k.id, PyRef::borrow(id))) return false;
    if (!classes(d, movable)) return false;
    if (style && str_length(style) && !add(movable, k.style, PyRef::borrow(style)))
      return false;
    PyObject* flag = PyDict_GetItemWithError(d, k.is_self_closing);
    if (flag && PyUnicode_Check(flag) && !add(movable, k.is_self_closing, PyRef::borrow(flag)))
      return false;
    // The other attributes, in the dict's order.
    PyObject* key;
    PyObject* value;
    for (Py_ssize_t pos = 0; PyDict_Next(d, &pos, &key, &value);) {
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "an attribute name is a str, not %s", Py_TYPE(key)->tp_name);
        return false;
      }
      if (is_fixed_key(key)) continue;
      const int fixed = PyUnicode_CompareWithASCIIString(key, "class") == 0 ||
                        PyUnicode_CompareWithASCIIString(key, "children") == 0;
      if (fixed || !valid_name(key)) return unwritable("the attribute name", key);
      if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "the value of %R is a str, not %s", key, Py_TYPE(value)->tp_name);
        return false;
      }
      if (!add(others, key, PyRef::borrow(value))) return false;
    }
    PyObject* children = PyDict_GetItemWithError(d, k.children);
    if (!children && PyErr_Occurred()) return false;
    if (children && !PyList_Check(children)) {
      PyErr_Format(PyExc_TypeError, "an element's children are a list, not %s",
                   Py_TYPE(children)->tp_name);
      return false;
    }
    if (!(put("<") && put(name))) return false;
    for (Attribute* a : arrange(movable, others))
      if (!(put(" ") && put(a->key) && put("=\"") && put(a->value.get()) && put("\"")))
        return false;
    const bool empty = !children || PyList_GET_SIZE(children) == 0;
    // is_self_closing given as a str: the empty pair reads back the same.
    if (flag == Py_True && empty) return put("/>");
    if (!put(">")) return false;
    stack_.push_back(Frame{children ? children : empty_list(), 0, name});
    return true;
  }

  // The class attribute for a list of classes (none for [""]), or the
  // attribute named "classes" for a str.
  bool classes(PyObject* d, std::vector<Attribute>& movable) {
    const ElementKeys& k = element_keys();
    PyObject* value = PyDict_GetItemWithError(d, k.classes);
    if (!value) return !PyErr_Occurred();
    if (PyUnicode_Check(value)) return add(movable, k.classes, PyRef::borrow(value));
    if (!PyList_Check(value)) {
      PyErr_Format(PyExc_TypeError, "classes is a list or a str, not %s", Py_TYPE(value)->tp_name);
      return false;
    }
    const Py_ssize_t n = PyList_GET_SIZE(value);
    if (n == 0 || (n == 1 && PyUnicode_Check(PyList_GET_ITEM(value, 0)) &&
                   str_length(PyList_GET_ITEM(value, 0)) == 0))
      return true;
    if (!class_key_) {
      const std::string name(element::kClassAttribute);
      class_key_ = PyRef(PyUnicode_InternFromString(name.c_str()));
    }
    PyRef space(PyUnicode_FromStringAndSize(" ", 1));
    if (!class_key_ || !space) return false;
    PyRef joined(PyUnicode_Join(space.get(), value));
    return joined && add(movable, class_key_.get(), std::move(joined));
  }

  // Borrowed: an empty list, kept for the writer's life; nullptr with an
  // error set.
  PyObject* empty_list() {
    if (!empty_list_) empty_list_ = PyRef(PyList_New(0));
    return empty_list_.get();
  }

  // A name for elements whose tag is no name: one that occurs in no string of
  // the tree, so no tag in a text or a value can count as one of its own.
  // Borrowed; nullptr with an error set.
  PyObject* stand_in() {
    if (stand_in_) return stand_in_.get();
    std::vector<PyObject*> strings, pending{root_};
    while (!pending.empty()) {
      PyObject* o = pending.back();
      pending.pop_back();
      if (PyUnicode_Check(o)) {
        strings.push_back(o);
      } else if (PyList_Check(o)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) pending.push_back(PyList_GET_ITEM(o, i));
      } else if (PyDict_Check(o)) {
        PyObject* key;
        PyObject* value;
        for (Py_ssize_t pos = 0; PyDict_Next(o, &pos, &key, &value);) {
          pending.push_back(key);
          pending.push_back(value);
        }
      }
    }
    for (unsigned n = 0;; ++n) {
      PyRef candidate(PyUnicode_FromFormat("t%u", n));
      if (!candidate) return nullptr;
      const bool fresh = std::none_of(strings.begin(), strings.end(), [&](PyObject* s) {
        return PyUnicode_Find(s, candidate.get(), 0, str_length(s), 1) != -1;
      });
      if (fresh) {
        stand_in_ = std::move(candidate);
        return stand_in_.get();
      }
    }
  }

  PyObject* root_ = nullptr;  // borrowed: the argument
  PyRef pieces_;
  std::vector<Frame> stack_;
  PyRef class_key_, empty_list_, stand_in_;
  std::vector<std::pair<const char*, PyRef>> literals_;  // by the address of the literal
};

}  // namespace

PyObject* to_markup(PyObject* node) {
  return guarded([&]() -> PyObject* {
    return Writer().run(node);
  });
}

}  // namespace quillet::tree
