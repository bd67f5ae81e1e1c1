// to_markup: writes a tree back as markup, as a visitor of walk_nodes.
//
// Text runs are written as they are; elements in one canonical form:
// `<name k="v" ...>children</name>`, or `<name k="v" .../>` when
// is_self_closing is True. Whitespace before an element is not written
// (parse drops it), and id, class and style go where the brackets inside
// attribute values keep the tag whole (a tag ends at the `>` that balances
// its `<`, quoted or not). What no markup can give raises ValueError here
// where the element shows it; the Python half reads the markup back to
// catch what only the whole text shows.
#include <algorithm>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/char_classes.hpp"
#include "python/py_failure.hpp"
#include "python/py_ref.hpp"
#include "python/py_state.hpp"
#include "python/py_str.hpp"
#include "tree/tree_ops.hpp"
#include "tree/walk.hpp"
#include "types/element_schema.hpp"

namespace quillet::tree {
namespace {

// An attribute to write, with the bracket profile of its value: the change
// in bracket depth across it and the lowest depth reached inside it,
// relative to its start.
struct Attribute {
  PyRef key;
  PyRef value;
  Py_ssize_t delta = 0;
  Py_ssize_t low = 0;
};

// Whether `key` (a str) is one of the keys every element has: by identity
// first, then by value, since a key made in another interpreter, or built
// at run time, is another object.
bool is_fixed_key(PyObject* key) {
  const ElementKeys& k = element_keys();
  const std::array<PyObject*, 6> fixed = {k.tag, k.id, k.classes, k.style, k.is_self_closing, k.children};
  for (PyObject* f : fixed)
    if (key == f) return true;
  const Py_ssize_t n = str_length(key);
  for (PyObject* f : fixed)
    if (PyUnicode_GET_LENGTH(f) == n && PyUnicode_Compare(key, f) == 0) return true;
  return false;
}

// Whether every character of `s` in [begin, end) is one a name may hold.
bool name_chars(const StrStorage& s, Py_ssize_t begin, Py_ssize_t end) {
  for (Py_ssize_t i = begin; i < end; ++i)
    if (!char_class::is_name_char(PyUnicode_READ(s.kind, s.data, i))) return false;
  return true;
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

// Inserts `a` into `order` at the earliest place where the tag stays whole,
// found in one pass: a place works when the attributes before it never dip
// below the tag's level, `a` does not dip at the depth they leave, and the
// attributes after it do not dip once shifted by a's change. False when no
// place works.
bool insert_early(std::vector<Attribute*>& order, Attribute* a) {
  const std::size_t n = order.size();
  // lowest[i]: the lowest depth reached by order[i, n) starting at depth 0
  // before order[0]; depth[i]: the depth before order[i].
  std::vector<Py_ssize_t> depth(n + 1, 0), lowest(n + 1, 0);
  for (std::size_t i = 0; i < n; ++i) depth[i + 1] = depth[i] + order[i]->delta;
  lowest[n] = depth[n];
  for (std::size_t i = n; i-- > 0;) lowest[i] = std::min(lowest[i + 1], depth[i] + order[i]->low);
  for (std::size_t at = 0; at <= n; ++at) {
    if (at > 0 && depth[at - 1] + order[at - 1]->low < 0) return false;  // the prefix dips already
    if (depth[at] + a->low >= 0 && lowest[at] + a->delta >= 0) {
      order.insert(order.begin() + static_cast<std::ptrdiff_t>(at), a);
      return true;
    }
  }
  return false;
}

// The order to write attributes in: `others` keep their order (it is the
// dict's key order); `movable` (id, class, style and attributes that took a
// fixed key's place, whose position parse does not keep) go first, unless
// brackets in the values need some of them later. Empty when no order keeps
// the tag whole.
std::vector<Attribute*> arrange(std::vector<Attribute>& movable, std::vector<Attribute>& others) {
  std::vector<Attribute*> order;
  for (Attribute& a : movable) order.push_back(&a);
  for (Attribute& a : others) order.push_back(&a);
  if (keeps_tag_whole(order)) return order;
  // Those that close brackets go each at the earliest place that works.
  std::vector<Attribute*> late, arranged;
  for (Attribute& a : movable) (a.low < 0 ? late : arranged).push_back(&a);
  for (Attribute& a : others) arranged.push_back(&a);
  for (Attribute* a : late)
    if (!insert_early(arranged, a)) return {};
  if (!keeps_tag_whole(arranged)) return {};
  return arranged;
}

// Numbers n for which "t<n>" occurs in a str, to pick a stand-in name no
// string holds. Each place where 't' is followed by digits rules out the
// numbers its digit prefixes spell, at most one per length, so among
// kMaxDigits * (places + 1) numbers one is always free.
class StandInFinder {
 public:
  static constexpr std::size_t kMaxDigits = 20;

  // First every str is counted, then every str marked; then smallest_free()
  // is the answer.
  void count(const StrStorage& s) { scan(s, [&](std::size_t) { return false; }); }

  void mark(const StrStorage& s) {
    if (taken_.empty()) taken_.assign(kMaxDigits * (places_ + 1), false);
    scan(s, [&](std::size_t n) {
      if (n >= taken_.size()) return false;
      taken_[n] = true;
      return true;
    });
  }

  std::size_t smallest_free() const {
    if (taken_.empty()) return 0;
    return static_cast<std::size_t>(std::find(taken_.begin(), taken_.end(), false) - taken_.begin());
  }

 private:
  // Calls rule_out(n) for each number n spelt after a 't' (no leading zeros
  // but "0"), until it returns false; counts the places.
  template <class F>
  void scan(const StrStorage& s, F rule_out) {
    for (Py_ssize_t i = 0; i + 1 < s.length; ++i) {
      if (PyUnicode_READ(s.kind, s.data, i) != 't') continue;
      std::size_t n = 0;
      bool counted = false;
      for (Py_ssize_t j = i + 1; j < s.length; ++j) {
        const Py_UCS4 c = PyUnicode_READ(s.kind, s.data, j);
        if (c < '0' || c > '9') break;
        if (!counted) ++places_, counted = true;
        n = n * 10 + (c - '0');
        if (!rule_out(n) || n == 0) break;  // "t0" names 0 alone
      }
    }
  }

  std::size_t places_ = 0;
  std::vector<bool> taken_;
};

class Writer {
 public:
  explicit Writer(PyObject* root) : root_(root) {}

  // The markup of the tree: a new str, or nullptr with an error set.
  PyObject* run() {
    pieces_ = PyRef(PyList_New(0));
    if (!pieces_) return nullptr;
    if (!walk_nodes(root_, *this, "to_markup(): the tree holds itself (a list inside itself)"))
      return nullptr;
    PyRef empty(PyUnicode_FromStringAndSize("", 0));
    return empty ? PyUnicode_Join(empty.get(), pieces_.get()) : nullptr;
  }

  // The visitor's hooks (see walk_nodes).
  bool text(PyObject* run) { return put(run); }
  int enter(PyObject* element, PyRef& children, PyRef& name);
  bool leave(PyRef& name) { return put("</") && put(name.get()) && put(">"); }

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

  // d[key] when it is a str, an empty reference when the key is missing;
  // -1 with a TypeError (or the key's own error) otherwise.
  static int str_item(PyObject* d, PyObject* key, PyRef& value) {
    const int found = lookup(d, key, value);
    if (found <= 0) return found;
    if (PyUnicode_Check(value.get())) return 1;
    PyErr_Format(PyExc_TypeError, "the value of %R is a str, not %s", key, Py_TYPE(value.get())->tp_name);
    return -1;
  }

  // Sets ValueError: the element `name` cannot be written, for `why`
  // (a format with one %R for `value`).
  static int unwritable(PyObject* name, const char* why, PyObject* value) {
    PyRef reason(PyUnicode_FromFormat(why, value));
    if (reason)
      PyErr_Format(PyExc_ValueError, "cannot write the element %R as markup: %U", name, reason.get());
    return -1;
  }

  // Whether `s` is a name or key the markup allows.
  bool valid_name(PyObject* s) {
    const StrStorage t = str_storage(s);
    bool ok = t.length > 0;
    const bool read = clock_.in_pieces(t.length, [&](Py_ssize_t begin, Py_ssize_t end) {
      ok = ok && name_chars(t, begin, end);
      return true;
    });
    if (!read) throw PythonErrorSet{};  // a signal handler raised
    return ok;
  }

  // Adds an attribute to write; -1 with ValueError for a value no markup
  // can hold.
  int add(PyObject* name, std::vector<Attribute>& to, PyRef key, PyRef value) {
    const StrStorage t = str_storage(value.get());
    if (PyUnicode_FindChar(value.get(), '"', 0, t.length, 1) != -1)
      return unwritable(name, "the value %R holds a double quote", value.get());
    Attribute a{std::move(key), std::move(value)};
    const bool read = clock_.in_pieces(t.length, [&](Py_ssize_t begin, Py_ssize_t end) {
      for (Py_ssize_t i = begin; i < end; ++i) {
        const Py_UCS4 c = PyUnicode_READ(t.kind, t.data, i);
        if (c == '<') ++a.delta;
        if (c == '>') a.low = std::min(a.low, --a.delta);
      }
      return true;
    });
    if (!read) return -1;
    to.push_back(std::move(a));
    return 0;
  }

  int classes(PyObject* d, PyObject* name, std::vector<Attribute>& movable);
  PyObject* stand_in();

  PyObject* root_;  // borrowed: the argument
  PyRef pieces_;
  PyRef class_key_, stand_in_;
  std::vector<std::pair<const char*, PyRef>> literals_;  // by the address of the literal
  SignalClock clock_;  // for long strs and many attributes; walk_nodes counts nodes
};

int Writer::enter(PyObject* d, PyRef& children, PyRef& name) {
  const ElementKeys& k = element_keys();
  PyRef tag, id, style, flag;
  int found = str_item(d, k.tag, tag);
  if (found <= 0) {
    if (found == 0) PyErr_SetString(PyExc_ValueError, "cannot write an element without a tag as markup");
    return -1;
  }
  std::vector<Attribute> movable, others;
  if (valid_name(tag.get())) {
    name = PyRef::borrow(tag.get());
  } else {  // only an attribute named "tag" can give such a value
    PyObject* stand = stand_in();
    if (!stand) return -1;
    name = PyRef::borrow(stand);
    if (add(name.get(), movable, PyRef::borrow(k.tag), PyRef::borrow(tag.get())) < 0) return -1;
  }
  if (str_item(d, k.id, id) < 0 || str_item(d, k.style, style) < 0) return -1;
  if (id && str_length(id.get()) && add(name.get(), movable, PyRef::borrow(k.id), std::move(id)) < 0)
    return -1;
  if (classes(d, name.get(), movable) < 0) return -1;
  if (style && str_length(style.get()) &&
      add(name.get(), movable, PyRef::borrow(k.style), std::move(style)) < 0)
    return -1;
  if (lookup(d, k.is_self_closing, flag) < 0) return -1;
  if (flag && PyUnicode_Check(flag.get()) &&
      add(name.get(), movable, PyRef::borrow(k.is_self_closing), PyRef::borrow(flag.get())) < 0)
    return -1;
  // The other attributes, in the dict's order.
  Item borrowed_key;
  Item borrowed_value;
  for (Py_ssize_t pos = 0; next_item(d, pos, borrowed_key, borrowed_value);) {
    // Held: the checks below may run handlers or a str subclass's code.
    PyRef key = PyRef::borrow(borrowed_key), value = PyRef::borrow(borrowed_value);
    if (!clock_.tick()) return -1;
    if (!PyUnicode_Check(key.get())) {
      PyErr_Format(PyExc_TypeError, "an attribute name is a str, not %s", Py_TYPE(key.get())->tp_name);
      return -1;
    }
    if (is_fixed_key(key.get())) continue;
    const bool reserved = PyUnicode_CompareWithASCIIString(key.get(), "class") == 0;
    if (reserved || !valid_name(key.get()))
      return unwritable(name.get(), "the attribute name %R is no name", key.get());
    if (!PyUnicode_Check(value.get())) {
      PyErr_Format(PyExc_TypeError, "the value of %R is a str, not %s", key.get(),
                   Py_TYPE(value.get())->tp_name);
      return -1;
    }
    if (add(name.get(), others, std::move(key), std::move(value)) < 0) return -1;
  }
  const int has_children = children_of(d, children);
  if (has_children < 0) return -1;
  const bool empty = !has_children || PyList_GET_SIZE(children.get()) == 0;
  const bool self_closing = flag.get() == Py_True;
  if (self_closing && !empty)
    return unwritable(name.get(), "it is self-closing (is_self_closing is %R) and has children",
                      flag.get());
  const std::vector<Attribute*> order = arrange(movable, others);
  if (order.empty() && !(movable.empty() && others.empty())) {
    const Attribute* closing = others.empty() ? &movable.back() : &others.back();
    for (const std::vector<Attribute>* group : {&others, &movable})
      for (const Attribute& a : *group)
        if (a.low < 0) closing = &a;
    return unwritable(name.get(), "the '>' in the value %R ends its tag early",
                      closing->value.get());
  }
  if (!(put("<") && put(name.get()))) return -1;
  for (Attribute* a : order)
    if (!(put(" ") && put(a->key.get()) && put("=\"") && put(a->value.get()) && put("\"")))
      return -1;
  // is_self_closing given as a str: the empty pair reads back the same.
  if (self_closing) return put("/>") ? 0 : -1;
  if (!put(">")) return -1;
  if (empty) return leave(name) ? 0 : -1;
  return 1;
}

// The class attribute for a list of classes (none for [""]), or the
// attribute named "classes" for a str.
int Writer::classes(PyObject* d, PyObject* name, std::vector<Attribute>& movable) {
  const ElementKeys& k = element_keys();
  PyRef value;
  const int found = lookup(d, k.classes, value);
  if (found <= 0) return found;
  if (PyUnicode_Check(value.get()))
    return add(name, movable, PyRef::borrow(k.classes), std::move(value));
  if (!PyList_Check(value.get())) {
    PyErr_Format(PyExc_TypeError, "classes is a list or a str, not %s", Py_TYPE(value.get())->tp_name);
    return -1;
  }
  Item unused, first;
  Py_ssize_t pos = 0;
  const Py_ssize_t n = PyList_GET_SIZE(value.get());
  if (n == 0 || (n == 1 && next_item(value.get(), pos, unused, first) && PyUnicode_Check(first.get()) &&
                 str_length(first.get()) == 0))
    return 0;
  if (!class_key_) {
    const std::string attribute(element::kClassAttribute);
    class_key_ = PyRef(PyUnicode_InternFromString(attribute.c_str()));
  }
  PyRef space(PyUnicode_FromStringAndSize(" ", 1));
  if (!class_key_ || !space) return -1;
  PyRef joined(PyUnicode_Join(space.get(), value.get()));
  return joined ? add(name, movable, PyRef::borrow(class_key_.get()), std::move(joined)) : -1;
}

// A name for elements whose tag is no name: one that occurs in no string of
// the tree, so no tag in a text or a value can count as one of its own.
// Found in time linear in the tree's strings (each container read once).
// Borrowed; nullptr with an error set.
PyObject* Writer::stand_in() {
  if (stand_in_) return stand_in_.get();
  std::vector<PyRef> strings, pending;
  std::unordered_set<PyObject*> seen;
  std::vector<PyRef> held;  // what `seen` names stays alive
  pending.push_back(PyRef::borrow(root_));
  Item key;
  Item value;
  while (!pending.empty()) {
    if (!clock_.tick()) return nullptr;
    PyRef o = std::move(pending.back());
    pending.pop_back();
    if (PyUnicode_Check(o.get())) {
      strings.push_back(std::move(o));
      continue;
    }
    if (!(PyList_Check(o.get()) || PyDict_Check(o.get())) || !seen.insert(o.get()).second) continue;
    const bool is_dict = PyDict_Check(o.get());
    for (Py_ssize_t pos = 0; next_item(o.get(), pos, key, value);) {
      if (is_dict) pending.push_back(PyRef::borrow(key));
      pending.push_back(PyRef::borrow(value));
    }
    held.push_back(std::move(o));
  }
  StandInFinder finder;
  for (const PyRef& s : strings) finder.count(str_storage(s.get()));
  for (const PyRef& s : strings) {
    if (!clock_.chars(str_length(s.get()))) return nullptr;
    finder.mark(str_storage(s.get()));
  }
  stand_in_ = PyRef(PyUnicode_FromFormat("t%zu", finder.smallest_free()));
  return stand_in_.get();
}

}  // namespace

PyObject* to_markup(PyObject* node) {
  return guarded([&]() -> PyObject* { return Writer(node).run(); });
}

}  // namespace quillet::tree
