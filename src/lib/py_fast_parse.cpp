// A scan_markup builder that makes the Python tree directly: strings are cut
// from the input's own storage, keys come from caches, containers are sized
// up front, and the cyclic collector rests while the tree grows.
#include "lib/py_fast_parse.hpp"

#include <cstring>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/errors.hpp"
#include "fast_parse/scanner.hpp"
#include "types/py_convert.hpp"

namespace quillet {
namespace {

using fast::Attribute;
using fast::MarkupIndex;
using fast::Node;
using fast::Pos;
using fast::Span;
using fast::Tag;

// Keys every element dict has, interned on first use and kept for the life
// of the process.
struct Keys {
  PyObject* tag;
  PyObject* id;
  PyObject* classes;
  PyObject* style;
  PyObject* is_self_closing;
  PyObject* children;
  PyObject* empty;
};

// Not a function-local static: its initialisation guard would stay locked
// across the Python calls that make the keys, and when one of them lets go of
// the GIL (reporting a failed creation runs sys.excepthook), any other thread
// asking for the keys would wait on the guard with the GIL in hand, and both
// would hang. The GIL alone orders the creation; a thread that finds the keys
// made by another once its own are ready drops its own.
Keys g_keys = {};

const Keys& keys() {
  if (g_keys.tag) return g_keys;
  static constexpr const char* kNames[] = {"tag", "id", "classes", "style", "is_self_closing", "children", ""};
  PyObject* made[std::size(kNames)] = {};
  for (std::size_t i = 0; i < std::size(kNames); ++i) {
    made[i] = PyUnicode_InternFromString(kNames[i]);
    if (!made[i]) {
      for (std::size_t j = 0; j < i; ++j) Py_DECREF(made[j]);
      py_creation_failed(__FILE__, __LINE__);
    }
  }
  if (g_keys.tag) {
    for (PyObject* o : made) Py_DECREF(o);
    return g_keys;
  }
  g_keys = Keys{made[0], made[1], made[2], made[3], made[4], made[5], made[6]};
  return g_keys;
}

// Pauses the cyclic garbage collector while the tree is built: every list
// and dict would otherwise be traversed again by each young collection.
class GcPause {
 public:
  GcPause() {
#if PY_VERSION_HEX >= 0x030A0000
    was_enabled_ = PyGC_Disable();
#endif
  }
  ~GcPause() {
#if PY_VERSION_HEX >= 0x030A0000
    if (was_enabled_) PyGC_Enable();
#endif
  }

 private:
  int was_enabled_ = 0;
};

// A dict with room for `n` keys, so filling it never resizes it.
PyObject* new_dict(Py_ssize_t n) {
#if PY_VERSION_HEX < 0x030D0000
  return _PyDict_NewPresized(n);
#else
  (void)n;
  return PyDict_New();
#endif
}

template <class CharT>
bool equals_ascii(const CharT* text, Span s, const char* word) {
  const std::size_t n = std::strlen(word);
  if (s.size() != n) return false;
  for (std::size_t i = 0; i < n; ++i)
    if (text[s.begin + i] != static_cast<unsigned char>(word[i])) return false;
  return true;
}

PyObject* substring_of(PyObject* input, Span s) {
  return QUILLET_PY_NEW(PyUnicode_Substring(input, static_cast<Py_ssize_t>(s.begin), static_cast<Py_ssize_t>(s.end)));
}

// Texts up to this many characters are shared through a StringCache.
constexpr Pos kShortText = 24;

// One str per distinct text, made on first use and owned by the cache (get
// returns a borrowed reference). Open addressing over FNV-1a hashes of the
// characters. Every str it holds is also in the tree, so it costs only its
// table beyond the output.
template <class CharT>
class StringCache {
 public:
  StringCache(PyObject* input, const CharT* text) : input_(input), text_(text) {}
  StringCache(const StringCache&) = delete;
  StringCache& operator=(const StringCache&) = delete;
  ~StringCache() {
    for (const Entry& e : entries_) Py_DECREF(e.object);
  }

  PyObject* get(Span s) {
    const std::uint64_t h = fast::hash_chars(text_, s);
    if (table_.empty() || (entries_.size() + 1) * 2 > table_.size()) grow();
    const std::size_t mask = table_.size() - 1;
    for (std::size_t j = h & mask;; j = (j + 1) & mask) {
      const std::uint32_t slot = table_[j];
      if (slot == fast::kNone) {
        PyObject* obj = substring_of(input_, s);
        entries_.push_back(Entry{h, s, obj});
        table_[j] = static_cast<std::uint32_t>(entries_.size() - 1);
        return obj;
      }
      const Entry& e = entries_[slot];
      if (e.hash == h && e.span.size() == s.size() &&
          std::memcmp(text_ + e.span.begin, text_ + s.begin, s.size() * sizeof(CharT)) == 0)
        return e.object;
    }
  }

 private:
  struct Entry {
    std::uint64_t hash;
    Span span;
    PyObject* object;
  };

  void grow() {
    const std::size_t cap = table_.empty() ? 64 : table_.size() * 2;
    table_.assign(cap, fast::kNone);
    for (std::uint32_t i = 0; i < entries_.size(); ++i) {
      std::size_t j = entries_[i].hash & (cap - 1);
      while (table_[j] != fast::kNone) j = (j + 1) & (cap - 1);
      table_[j] = i;
    }
  }

  PyObject* input_;
  const CharT* text_;
  std::vector<Entry> entries_;
  std::vector<std::uint32_t> table_;
};

template <class CharT>
class PyBuilder {
 public:
  using Handle = PyObject*;  // the element dict whose "children" a level fills; null for the top

  PyBuilder(PyObject* input, const MarkupIndex<CharT>& index)
      : input_(input), index_(index), text_(index.text()), names_(index.name_count(), nullptr),
        strings_(input, index.text()) {}

  ~PyBuilder() {
    Py_XDECREF(top_);
    for (PyObject* o : names_) Py_XDECREF(o);
  }

  Handle root() { return nullptr; }

  // The finished tree; the builder gives up its reference.
  PyObject* release() {
    PyObject* t = top_;
    top_ = nullptr;
    return t;
  }

  void level(Handle parent, const std::vector<Node>& nodes, std::vector<Handle>& child_parents) {
    PyObject* list = QUILLET_PY_NEW(PyList_New(static_cast<Py_ssize_t>(nodes.size())));
    // From here on `list` owns whatever is made for it; on failure the list
    // (or, once attached, the top of the tree) releases it all.
    if (parent) {
      store_new(parent, keys().children, list);  // the dict holds it now, or it is gone
    } else {
      top_ = list;
    }
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      const Node& node = nodes[i];
      PyObject* item = node.element ? element(node) : text(node.span);
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
      if (node.element && node.span.size() > 0) child_parents.push_back(item);
    }
  }

 private:
  PyObject* substring(Span s) { return substring_of(input_, s); }

  // A new reference to the str for `s`: short ones (whitespace between tags,
  // class names, repeated values) are shared, the rest made fresh.
  PyObject* text(Span s) {
    if (s.size() <= kShortText) {
      PyObject* shared = strings_.get(s);
      Py_INCREF(shared);
      return shared;
    }
    return substring(s);
  }

  void store(PyObject* dict, PyObject* key, PyObject* value) { py_set_item(dict, key, value); }

  // Stores a new reference, which is released whatever happens.
  void store_new(PyObject* dict, PyObject* key, PyObject* value) {
    struct Release {
      PyObject* object;
      ~Release() { Py_DECREF(object); }
    } release{value};
    py_set_item(dict, key, value);
  }

  PyObject* name_object(std::uint32_t name) {
    if (!names_[name]) names_[name] = substring(index_.name_span(name));
    return names_[name];
  }

  PyObject* classes(const Span* value) {
    if (!value) {
      PyObject* list = QUILLET_PY_NEW(PyList_New(1));
      Py_INCREF(keys().empty);
      PyList_SET_ITEM(list, 0, keys().empty);
      return list;
    }
    Py_ssize_t pieces = 1;
    for (Pos i = value->begin; i < value->end; ++i) pieces += text_[i] == ' ';
    PyObject* list = QUILLET_PY_NEW(PyList_New(pieces));
    Pos start = value->begin;
    Py_ssize_t n = 0;
    for (Pos i = value->begin; i <= value->end; ++i) {
      if (i == value->end || text_[i] == ' ') {
        PyObject* piece;
        try {
          piece = text(Span{start, i});
        } catch (...) {
          Py_DECREF(list);
          throw;
        }
        PyList_SET_ITEM(list, n++, piece);
        start = i + 1;
      }
    }
    return list;
  }

  PyObject* element(const Node& node) {
    const Tag& tag = index_.tags()[node.tag];
    index_.read_attributes(tag, attributes_);
    const Span* id = nullptr;
    const Span* cls = nullptr;
    const Span* style = nullptr;
    for (const Attribute& a : attributes_) {
      if (equals_ascii(text_, a.key, "id")) id = &a.value;
      else if (equals_ascii(text_, a.key, "class")) cls = &a.value;
      else if (equals_ascii(text_, a.key, "style")) style = &a.value;
    }
    PyObject* dict = QUILLET_PY_NEW(new_dict(static_cast<Py_ssize_t>(6 + attributes_.size())));
    try {
      const Keys& k = keys();
      store(dict, k.tag, name_object(tag.name));
      if (id) store_new(dict, k.id, text(*id)); else store(dict, k.id, k.empty);
      store_new(dict, k.classes, classes(cls));
      if (style) store_new(dict, k.style, text(*style)); else store(dict, k.style, k.empty);
      store(dict, k.is_self_closing, tag.self_closing ? Py_True : Py_False);
      // The other attributes in the order written. "children" always holds
      // the child list and stays the last key.
      for (const Attribute& a : attributes_) {
        if (&a.value == id || &a.value == cls || &a.value == style) continue;
        if (equals_ascii(text_, a.key, "children")) continue;
        // Names are shared but not interned: interning would keep every
        // name a document ever used alive in the interpreter.
        PyObject* key = strings_.get(a.key);
        store_new(dict, key, text(a.value));
      }
      if (node.span.size() == 0) store_new(dict, k.children, QUILLET_PY_NEW(PyList_New(0)));
    } catch (...) {
      Py_DECREF(dict);
      throw;
    }
    return dict;
  }

  PyObject* input_;
  const MarkupIndex<CharT>& index_;
  const CharT* text_;
  PyObject* top_ = nullptr;
  std::vector<PyObject*> names_;  // name id -> str, made on first use
  StringCache<CharT> strings_;  // attribute names, short values and text runs, shared
  std::vector<Attribute> attributes_;
};

template <class CharT>
PyObject* build(PyObject* input, const CharT* text, Py_ssize_t length) {
  const MarkupIndex<CharT> index(text, static_cast<Pos>(length));
  GcPause pause;
  PyBuilder<CharT> builder(input, index);
  fast::scan_markup(index, builder);
  return builder.release();
}

}  // namespace

PyObject* fast_parse_to_py(PyObject* input) {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(input);
  if (length == 0) Py_RETURN_NONE;
  if (static_cast<std::uint64_t>(length) >= fast::kNone) {
    PyErr_SetString(PyExc_ValueError, "parse() takes texts of fewer than 4294967295 characters");
    return nullptr;
  }
  void* data = PyUnicode_DATA(input);
  switch (PyUnicode_KIND(input)) {
    case PyUnicode_1BYTE_KIND:
      return build(input, static_cast<const std::uint8_t*>(data), length);
    case PyUnicode_2BYTE_KIND:
      return build(input, static_cast<const std::uint16_t*>(data), length);
    default:
      return build(input, static_cast<const std::uint32_t*>(data), length);
  }
}

}  // namespace quillet
