// Value/Dict to Python objects, iteratively, releasing everything on failure.
//
// How the walk works:
//  1. `start` turns one Value into an object. Leaves (strings, numbers, text
//     runs, queues) come out finished. A container (list or dict) comes out
//     empty but already placed where it belongs, and a Frame holding its
//     pending items is pushed; the main loop fills it later.
//  2. A container is put into its parent before it is filled, so the root
//     object owns every object made so far: on failure, dropping the root
//     releases all of them, and unfilled list slots (NULL) are fine for that.
//  3. A frame whose last item has been taken is popped before that item is
//     converted, so a chain of single children (the deep-nesting case) needs
//     a constant number of frames.
//  4. Values are moved out of the tree as they are converted, never copied.
#include "reference/py_convert.hpp"

#include <array>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/errors.hpp"
#include "python/py_failure.hpp"
#include "python/py_ref.hpp"
#include "python/py_state.hpp"
#include "types/element_schema.hpp"

namespace quillet {
namespace {

// ---- keys ----

// A new reference to the str for `name`: the shared one for a fixed key.
PyObject* key_object(std::string_view name) {
  const ElementKeys& k = element_keys();
  PyObject* const fixed[] = {k.tag, k.id, k.classes, k.style, k.is_self_closing, k.children};
  static_assert(std::size(fixed) == element::kFixedKeys.size());
  for (std::size_t i = 0; i < element::kFixedKeys.size(); ++i) {
    if (name == element::kFixedKeys[i]) return PyRef::borrow(fixed[i]).release();
  }
  return QUILLET_PY_NEW(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
}

// ---- entries of a dict under construction ----

struct Entry {
  std::string name;
  Value value;
};

// A value of a Dict that the conversion owns outright. The Dict itself is not
// const; in_insertion_order only hands out read-only views of its entries.
Value take(const DictEntry& e) { return std::move(const_cast<Value&>(e.value)); }

// Named entries in insertion order; storing under a name already present
// replaces the value in place, as Python dicts do.
class EntryList {
 public:
  explicit EntryList(std::size_t capacity) { slots_.reserve(capacity); }

  void put(std::string_view name, Value value) {
    if (Slot* s = find(name)) {
      s->value = std::move(value);
      return;
    }
    const bool moves = slots_.size() == slots_.capacity();  // names would move: index afresh
    slots_.push_back({std::string(name), std::move(value), true});
    if (moves) index_.clear();
    if (!index_.empty() || slots_.size() > kLinearLimit) reindex();
  }

  void erase(std::string_view name) {
    if (Slot* s = find(name)) {
      if (!index_.empty()) index_.erase(s->name);
      s->live = false;
      s->value = Value();
    }
  }

  // The live entries: with `leading_first`, the leading fixed keys that are
  // present come first in their order; the rest follow in insertion order.
  std::vector<Entry> finish(bool leading_first) {
    std::vector<Entry> out;
    out.reserve(slots_.size());
    index_.clear();  // names are moved out below
    if (leading_first) {
      for (std::size_t i = 0; i < element::kLeadingKeys; ++i) {
        if (Slot* s = find(element::kFixedKeys[i])) {
          s->live = false;
          out.push_back({std::move(s->name), std::move(s->value)});
        }
      }
    }
    for (Slot& s : slots_) {
      if (s.live) out.push_back({std::move(s.name), std::move(s.value)});
    }
    return out;
  }

 private:
  struct Slot {
    std::string name;
    Value value;
    bool live;
  };
  // Up to this many slots a linear scan beats hashing.
  static constexpr std::size_t kLinearLimit = 16;

  Slot* find(std::string_view name) {
    if (!index_.empty()) {
      auto it = index_.find(name);
      return it == index_.end() ? nullptr : &slots_[it->second];
    }
    for (Slot& s : slots_) {
      if (s.live && s.name == name) return &s;
    }
    return nullptr;
  }

  // Adds the newest slot to the index, or builds the index from scratch. The
  // keys view slot names, which stay put while the capacity suffices.
  void reindex() {
    if (!index_.empty()) {
      index_.emplace(slots_.back().name, slots_.size() - 1);
      return;
    }
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      if (slots_[i].live) index_.emplace(slots_[i].name, i);
    }
  }

  std::vector<Slot> slots_;
  std::unordered_map<std::string_view, std::size_t> index_;
};

// The entries of a Result that is not a text run, in output order:
//  1. every recorded entry except "attributes";
//  2. the tag's attributes from the "attributes" entry, when that holds a
//     Dict, except "id", "class" and "style" (those are already recorded in
//     ready form); a name already present keeps its place and takes the
//     attribute's value;
//  3. "children" last, always a list, whatever an attribute of that name held.
std::vector<Entry> result_entries(Result&& r) {
  std::size_t capacity = 1;
  const Dict* tag_attributes = nullptr;
  if (r.attributes) {
    capacity += r.attributes->size();
    if (const Value* v = r.attributes->find(element::kAttributesEntry)) {
      tag_attributes = v->get_if<Dict>();
      if (tag_attributes) capacity += tag_attributes->size();
    }
  }
  EntryList entries(capacity);
  if (r.attributes) {
    for (const DictEntry* e : r.attributes->in_insertion_order()) {
      if (e->name != element::kAttributesEntry) entries.put(e->name, take(*e));
    }
  }
  if (tag_attributes) {
    for (const DictEntry* e : tag_attributes->in_insertion_order()) {
      if (!element::feeds_fixed_key(e->name)) entries.put(e->name, take(*e));
    }
  }
  Value::Array children;
  if (r.children) {
    children.reserve(r.children->size());
    for (Result& c : *r.children) children.emplace_back(std::move(c));
  }
  entries.erase(element::kChildren);
  entries.put(element::kChildren, Value(std::move(children)));
  return entries.finish(/*leading_first=*/true);
}

// The entries of a Dict, in insertion order.
std::vector<Entry> dict_entries(Dict&& d) {
  std::vector<Entry> out;
  out.reserve(d.size());
  for (const DictEntry* e : d.in_insertion_order()) out.push_back({e->name, take(*e)});
  return out;
}

// ---- the walk ----

// A container already placed in the tree, with the items still to fill in.
struct Frame {
  PyObject* target;            // borrowed: its parent (or the root guard) owns it
  bool is_dict;                // a dict filled from `entries`, else a list from `items`
  std::vector<Value> items;    // for a list: slot i takes items[i]
  std::vector<Entry> entries;  // for a dict: stored in this order
  std::size_t next = 0;        // the next item or entry to convert
};

// New reference: a str from scalar values; the interpreter picks the
// narrowest storage.
PyObject* str_from_chars(const Chars& chars) {
  return QUILLET_PY_NEW(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, chars.data(),
                                                  static_cast<Py_ssize_t>(chars.size())));
}

// New reference: the str of UTF-8 text.
PyObject* str_from_utf8(const std::string& s) {
  return QUILLET_PY_NEW(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

// A new list, with a frame to fill it when there is anything to fill.
PyObject* start_list(std::vector<Value>&& items, std::vector<Frame>& stack) {
  PyRef list(QUILLET_PY_NEW(PyList_New(static_cast<Py_ssize_t>(items.size()))));
  if (!items.empty()) stack.push_back({list.get(), false, std::move(items), {}, 0});
  return list.release();
}

PyObject* start_dict(std::vector<Entry>&& entries, std::vector<Frame>& stack) {
  PyRef dict(QUILLET_PY_NEW(PyDict_New()));
  if (!entries.empty()) stack.push_back({dict.get(), true, {}, std::move(entries), 0});
  return dict.release();
}

// A new reference for `v`: finished for a leaf, to be filled from `stack`
// for a container.
PyObject* start(Value&& v, std::vector<Frame>& stack) {
  switch (v.kind()) {
    case Value::Kind::None:
      Py_INCREF(Py_None);
      return Py_None;
    case Value::Kind::String:
      return str_from_utf8(*v.get_if<std::string>());
    case Value::Kind::Boolean: {
      PyObject* b = *v.get_if<bool>() ? Py_True : Py_False;
      Py_INCREF(b);
      return b;
    }
    case Value::Kind::Float:
      return QUILLET_PY_NEW(PyFloat_FromDouble(*v.get_if<double>()));
    case Value::Kind::Integer:
      return QUILLET_PY_NEW(PyLong_FromLongLong(*v.get_if<std::int64_t>()));
    case Value::Kind::Queue: {
      const Chars& q = *v.get_if<Chars>();
      PyRef list(QUILLET_PY_NEW(PyList_New(static_cast<Py_ssize_t>(q.size()))));
      for (std::size_t i = 0; i < q.size(); ++i) {
        PyObject* c = QUILLET_PY_NEW(PyUnicode_FromOrdinal(static_cast<int>(q[i])));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), c);
      }
      return list.release();
    }
    case Value::Kind::Properties:
      return start_dict(dict_entries(std::move(*v.get_if<Dict>())), stack);
    case Value::Kind::Array:
      return start_list(std::move(*v.get_if<Value::Array>()), stack);
    case Value::Kind::Result: {
      Result& r = *v.get_if<Result>();
      if (r.is_text_run()) return r.text ? str_from_chars(*r.text) : str_from_utf8(std::string());
      return start_dict(result_entries(std::move(r)), stack);
    }
  }
  throw QUILLET_INTERNAL_ERROR("a value of unknown kind");
}

}  // namespace

PyObject* value_into_py(Value&& value) {
  std::vector<Frame> stack;
  PyRef root(start(std::move(value), stack));
  while (!stack.empty()) {
    Frame& top = stack.back();
    PyObject* target = top.target;
    const std::size_t i = top.next++;
    if (top.is_dict) {
      Entry e = std::move(top.entries[i]);
      if (top.next == top.entries.size()) stack.pop_back();
      PyRef obj(start(std::move(e.value), stack));
      PyRef key(key_object(e.name));
      py_set_item(target, key.get(), obj.get());
    } else {
      Value item = std::move(top.items[i]);
      if (top.next == top.items.size()) stack.pop_back();
      PyObject* obj = start(std::move(item), stack);
      PyList_SET_ITEM(target, static_cast<Py_ssize_t>(i), obj);  // the slot takes the reference
    }
  }
  return root.release();
}

PyObject* dict_into_py(Dict&& dict) { return value_into_py(Value(std::move(dict))); }

}  // namespace quillet
