// A scan_markup builder that makes the Python tree directly: strings are cut
// from the input's own storage, keys come from caches, containers are sized
// up front, and the cyclic collector rests while the tree grows. Whenever
// Python code may run before the tree is whole (a signal handler, or a
// finalizer or gc callback run by a collection a handler starts), none of
// the tree's containers is known to the collector, so that code cannot find
// one through gc.get_objects() or gc.get_referrers() (see hide).
#include "lib/py_fast_parse.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "base/errors.hpp"
#include "fast_parse/scanner.hpp"
#include "lib/long_substring.hpp"
#include "python/py_failure.hpp"
#include "python/py_ref.hpp"
#include "python/py_state.hpp"
#include "python/py_str.hpp"
#include "python/py_threads.hpp"
#include "types/element_schema.hpp"

namespace quillet {
namespace {

using fast::Attribute;
using fast::MarkupIndex;
using fast::Node;
using fast::Pos;
using fast::Span;
using fast::Tag;

// New reference: a dict with room for `n` keys, so filling it never resizes
// it; nullptr with an error set.
PyObject* new_dict(Py_ssize_t n) {
#if PY_VERSION_HEX < 0x030D0000
  return _PyDict_NewPresized(n);
#else
  (void)n;
  return PyDict_New();
#endif
}

template <class CharT>
bool equals_ascii(const CharT* text, Span s, std::string_view word) {
  if (s.size() != word.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i)
    if (text[s.begin + i] != static_cast<unsigned char>(word[i])) return false;
  return true;
}

// New reference: a str of the characters `s` of `input`.
PyObject* substring_of(PyObject* input, Span s) {
  return QUILLET_PY_NEW(PyUnicode_Substring(input, static_cast<Py_ssize_t>(s.begin), static_cast<Py_ssize_t>(s.end)));
}

// Texts up to this many characters are shared through a StringCache.
constexpr Pos kShortText = 24;

// Pending signals are looked at after this many nodes, or sooner when the
// text runs made since the last look add up to kCharsPerSignalCheck
// characters: often enough that Ctrl-C stops a long parse within a few
// milliseconds, rarely enough to cost nothing, and so that most documents are
// built before the first check (see hide). An attribute counts as a node,
// and as one more per kCharsPerNode characters of its key and value.
constexpr std::size_t kNodesPerSignalCheck = 32768;
constexpr std::size_t kCharsPerNode = kCharsPerSignalCheck / kNodesPerSignalCheck;
// Texts at least this long are indexed with the interpreter given up.
constexpr Py_ssize_t kCharsToRelease = Py_ssize_t{1} << 15;

// Short texts shared within one tree: whitespace between tags, class names,
// attribute names and repeated values. A direct-mapped table with one entry
// per hash bucket: a text whose bucket holds another one replaces it. It
// stays small enough for the processor's caches, costs nothing to grow,
// and input with endless distinct texts costs no more than any other.
template <class CharT>
class StringCache {
 public:
  // Sized for a text with `tags` tags: the short texts of a tree come from
  // its tags and the runs between them.
  StringCache(PyObject* input, const CharT* text, std::size_t tags) : input_(input), text_(text) {
    std::size_t slots = 64;  // at least two per tag, up to 8192
    while (slots < 8192 && slots < 2 * tags) slots *= 2;
    slots_.resize(slots);
  }
  StringCache(const StringCache&) = delete;
  StringCache& operator=(const StringCache&) = delete;

  // New reference: the str of `s`.
  PyObject* get(Span s) {
    const std::uint64_t h = fast::hash_chars(text_, s);
    Entry& e = slots_[h & (slots_.size() - 1)];
    if (!e.object || e.hash != h || !fast::same_chars(text_, e.span, s)) {
      e = Entry{h, s, PyRef(substring_of(input_, s))};  // the tree holds its own reference to the old one
    }
    return PyRef::borrow(e.object.get()).release();
  }

 private:
  struct Entry {
    std::uint64_t hash = 0;
    Span span;
    PyRef object;
  };

  PyObject* input_;
  const CharT* text_;
  std::vector<Entry> slots_;
};

// Attribute keys the element dict treats on its own.
enum class KeyRole { other, id, cls, style, children };

template <class CharT>
KeyRole key_role(const CharT* text, Span key) {
  // The lengths of the names, to skip comparing most keys at all.
  static_assert(element::kIdAttribute.size() == 2 && element::kClassAttribute.size() == 5 &&
                element::kStyleAttribute.size() == 5 && element::kChildren.size() == 8);
  switch (key.size()) {
    case 2: return equals_ascii(text, key, element::kIdAttribute) ? KeyRole::id : KeyRole::other;
    case 5:
      if (equals_ascii(text, key, element::kClassAttribute)) return KeyRole::cls;
      return equals_ascii(text, key, element::kStyleAttribute) ? KeyRole::style : KeyRole::other;
    case 8: return equals_ascii(text, key, element::kChildren) ? KeyRole::children : KeyRole::other;
    default: return KeyRole::other;
  }
}

// Attributes beyond the fixed ones that an element dict copied from the
// model takes without growing.
constexpr std::size_t kRoomInModel = 4;

// Runs the handlers of pending signals; one that raises ends the parse with
// its exception. The indexing's checkpoint.
void run_signal_handlers(void* /*context*/ = nullptr) {
  if (PyErr_CheckSignals() < 0) throw PythonErrorSet{};
}

template <class CharT>
class PyBuilder {
 public:
  using Handle = PyObject*;  // the element dict whose "children" a level fills; null for the top

  // `pause` is the collector's pause for the whole build.
  // With `spans`, the span of each element is noted there by its opening
  // tag's index (`spans` holds one per tag, all zero: no element ends at 0).
  PyBuilder(PyObject* input, const MarkupIndex<CharT>& index, GcPause& pause, ElementSpan* spans)
      : input_(input), index_(index), text_(index.text()), names_(index.name_count()),
        strings_(input, index.text(), index.tags().size()), pause_(pause), spans_(spans) {}

  Handle root() { return nullptr; }

  // New reference: the finished tree, which the builder gives up; its
  // containers are handed to the collector now that it is whole.
  PyObject* release() {
    if (hiding_)
      for (PyObject* container : made_)
        if (!PyObject_GC_IsTracked(container)) PyObject_GC_Track(container);
    made_.clear();
    return top_.release();
  }

  void level(Handle parent, const std::vector<Node>& nodes, std::vector<Handle>& child_parents) {
    // Signal handlers run between nodes; what they could reach of the tree
    // is hidden from them (see hide).
    PyRef list(hide(QUILLET_PY_NEW(PyList_New(static_cast<Py_ssize_t>(nodes.size())))));
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      const Node& node = nodes[i];
      if (++since_signal_check_ >= kNodesPerSignalCheck) check_signals();
      PyObject* item = node.element() ? element(node) : text_run(node.span);
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
      if (!node.element()) {
        chars_since_signal_check_ += node.span.size();
        if (chars_since_signal_check_ >= kCharsPerSignalCheck) check_signals();
      } else {
        if (spans_) spans_[node.tag] = ElementSpan{index_.tags()[node.tag].start, node.span.begin, node.span.end, node.after};
        if (node.span.size() > 0) child_parents.push_back(item);
      }
    }
    if (parent) {
      py_set_item(parent, element_keys().children, list.get());
      if (hiding_) PyObject_GC_UnTrack(parent);  // storing a list made the collector see the dict again
    } else {
      top_ = std::move(list);
    }
  }

  // Runs the handlers of pending signals, with the collector as the caller
  // wants it; one that raises ends the parse with its exception.
  void check_signals() {
    since_signal_check_ = 0;
    chars_since_signal_check_ = 0;
    if (!hiding_) {
      for (PyObject* container : made_) PyObject_GC_UnTrack(container);
      hiding_ = true;
    } else if (building_) {
      PyObject_GC_UnTrack(building_);  // storing a list made the collector see it again
    }
    pause_.resumed([] { run_signal_handlers(); });
    // Nothing of the tree is in reach of other threads: they may run.
    turns_.offer();
  }

 private:
  // Takes a new reference to `container` (a new list or dict of the tree)
  // and returns it, out of the collector's sight until release() once
  // Python code may run. The collector then neither finds it
  // (gc.get_objects) nor visits it, so no code run before the tree is whole
  // meets a list with empty slots or a dict without "children". Until the
  // first signal check no Python code can run (the collector is paused), so
  // a tree that is done by then never leaves the collector's sight at all.
  PyObject* hide(PyObject* container) {
    PyRef owned(container);  // released if remembering it fails
    made_.push_back(container);
    if (hiding_) PyObject_GC_UnTrack(container);
    return owned.release();
  }

  // New reference: a fresh str of the characters `s`; one too long to copy
  // at one go is copied in strides with a look at signals between.
  PyObject* fresh(Span s) {
    if (s.size() <= kCharsPerSignalCheck) return substring_of(input_, s);
    return long_substring(input_, text_, s, [this] { check_signals(); });
  }

  // New reference: the str for `s`. Short ones (whitespace between tags,
  // class names, repeated values) are shared, the rest made fresh.
  PyObject* text(Span s) { return s.size() <= kShortText ? strings_.get(s) : fresh(s); }

  // New reference: the str of a text run. Runs that start with
  // whitespace (the indentation between tags) repeat and are shared; others
  // rarely do, and looking them up would cost more than it saves.
  PyObject* text_run(Span s) {
    return fast::is_space(text_[s.begin]) ? text(s) : fresh(s);
  }

  // Counts `chars` characters of attributes or class names made toward the
  // next look at signals, one more node per kCharsPerNode of them; a tag
  // with millions of attributes is one node, but no cheaper to build than
  // millions of nodes.
  void count_attribute(std::size_t chars) {
    since_signal_check_ += 1 + chars / kCharsPerNode;
    if (since_signal_check_ >= kNodesPerSignalCheck) check_signals();
  }

  // Stores a new reference, which is released whatever happens.
  void store_new(PyObject* dict, PyObject* key, PyObject* value) {
    PyRef owned(value);
    py_set_item(dict, key, value);
  }

  // Borrowed reference: a dict with the fixed keys but "children", and
  // room for kRoomInModel more keys and "children" (its copies keep that
  // room), or null where copying does not pay.
  PyObject* element_model() {
#if PY_VERSION_HEX < 0x030D0000
    if (!model_.get()) {
      const ElementKeys& k = element_keys();
      PyRef model(QUILLET_PY_NEW(new_dict(5 + kRoomInModel + 1)));
      for (PyObject* key : {k.tag, k.id, k.classes, k.style}) py_set_item(model.get(), key, k.empty);
      py_set_item(model.get(), k.is_self_closing, Py_False);
      model_ = std::move(model);
    }
    return model_.get();
#else
    return nullptr;  // no presized dicts to copy from
#endif
  }

  // Borrowed reference: the tag name's str.
  PyObject* name_object(std::uint32_t name) {
    if (!names_[name]) names_[name] = PyRef(fresh(index_.name_span(name)));
    return names_[name].get();
  }

  // New reference: the list of class names of the class attribute `value`,
  // or of an element without one.
  PyObject* classes(const Attribute* value) {
    if (!value) {
      PyObject* list = hide(QUILLET_PY_NEW(PyList_New(1)));
      PyList_SET_ITEM(list, 0, PyRef::borrow(element_keys().empty).release());
      return list;
    }
    const CharT* v = text_ + value->value.begin;
    const std::size_t size = value->value.size();
    PyRef list(hide(QUILLET_PY_NEW(PyList_New(static_cast<Py_ssize_t>(element::class_count(v, size))))));
    Py_ssize_t n = 0;
    element::for_each_class(v, size, [&](std::size_t begin, std::size_t end) {
      const Pos at = value->value.begin;
      PyList_SET_ITEM(list.get(), n++, text(Span{at + static_cast<Pos>(begin), at + static_cast<Pos>(end)}));
      count_attribute(end - begin);  // the list is hidden, its empty slots unseen
    });
    return list.release();
  }

  // New reference: an element dict with the fixed keys, the other attributes in the order
  // written, and "children" last, empty unless a level fills it later.
  PyObject* element(const Node& node) {
    const Tag& tag = index_.tags()[node.tag];
    const auto attributes = index_.attributes(node.tag);
    const Attribute* id = nullptr;
    const Attribute* cls = nullptr;
    const Attribute* style = nullptr;
    const Attribute* children = nullptr;  // never stored: "children" holds the child list
    for (const Attribute& a : attributes) {
      switch (key_role(text_, a.key)) {
        case KeyRole::id: id = &a; break;
        case KeyRole::cls: cls = &a; break;
        case KeyRole::style: style = &a; break;
        case KeyRole::children: children = &a; break;
        default: break;
      }
    }
    const ElementKeys& k = element_keys();
    // Most elements start as a copy of a dict holding the fixed keys, which
    // is cheaper than inserting them one by one; values that differ from the
    // copy's are then replaced in place.
    const std::size_t others = attributes.size() - (id != nullptr) - (cls != nullptr) - (style != nullptr) -
                               (children != nullptr);
    PyObject* model = others <= kRoomInModel ? element_model() : nullptr;
    // Hidden from the start: signals may be looked at while its values are
    // made (see count_attribute and fresh), and then it is half-built.
    PyRef dict(hide(QUILLET_PY_NEW(model ? PyDict_Copy(model)
                                         : new_dict(static_cast<Py_ssize_t>(6 + attributes.size())))));
    PyObject* d = dict.get();
    building_ = d;
    py_set_item(d, k.tag, name_object(tag.name));
    if (id) store_new(d, k.id, text(id->value)); else if (!model) py_set_item(d, k.id, k.empty);
    store_new(d, k.classes, classes(cls));
    if (style) store_new(d, k.style, text(style->value)); else if (!model) py_set_item(d, k.style, k.empty);
    if (tag.self_closing || !model) py_set_item(d, k.is_self_closing, tag.self_closing ? Py_True : Py_False);
    // "children" always holds the child list and stays the last key.
    for (const Attribute& a : attributes) {
      if (&a == id || &a == cls || &a == style || &a == children) continue;
      // Names are shared but not interned: interning would keep every name
      // a document ever used alive in the interpreter.
      PyRef key(a.key.size() <= kCharsPerSignalCheck ? strings_.get(a.key) : fresh(a.key));
      store_new(d, key.get(), text(a.value));
      count_attribute(a.key.size() + a.value.size());
    }
    if (node.span.size() == 0) store_new(d, k.children, hide(QUILLET_PY_NEW(PyList_New(0))));
    building_ = nullptr;
    if (hiding_) PyObject_GC_UnTrack(d);  // storing the lists made the collector see it again
    return dict.release();
  }

  PyObject* input_;
  const MarkupIndex<CharT>& index_;
  const CharT* text_;
  PyRef top_;
  std::vector<PyRef> names_;  // name id -> str, made on first use
  StringCache<CharT> strings_;  // attribute names, short values and text runs, shared
  GcPause& pause_;
  Turns turns_;  // other threads get the interpreter at a steady pace
  std::size_t since_signal_check_ = 0;        // nodes made since the last look at signals
  std::size_t chars_since_signal_check_ = 0;  // characters of text runs made since then
  std::vector<PyObject*> made_;  // borrowed: every container of the tree, until release()
  bool hiding_ = false;          // containers are out of the collector's sight
  PyObject* building_ = nullptr;  // borrowed: the element dict being filled, if any
  PyRef model_;  // see element_model
  ElementSpan* spans_;  // by opening tag, or null
};

// Index storage a thread keeps between calls. A call made while another is
// running on the same thread (from a signal handler) gets storage of its own.
struct ThreadStorage {
  fast::IndexStorage storage;
  bool busy = false;
};
thread_local ThreadStorage t_storage;

// Storage is given back after a call that filled more than this, so one
// huge text does not leave its index behind.
constexpr std::size_t kKeptStorageBytes = std::size_t{8} << 20;

class StorageLease {
 public:
  StorageLease() {
    if (!t_storage.busy) {
      t_storage.busy = true;
      storage_ = &t_storage.storage;
    } else {
      own_ = std::make_unique<fast::IndexStorage>();
      storage_ = own_.get();
    }
  }
  StorageLease(const StorageLease&) = delete;
  StorageLease& operator=(const StorageLease&) = delete;
  ~StorageLease() {
    if (own_) return;
    if (storage_->used_bytes() > kKeptStorageBytes) storage_->release();
    t_storage.busy = false;
  }
  fast::IndexStorage& get() { return *storage_; }

 private:
  fast::IndexStorage* storage_;
  std::unique_ptr<fast::IndexStorage> own_;
};

// New reference: the tree of `input`, whose storage is `text`; nullptr with
// the encoder's error set for a lone surrogate.
template <class CharT>
PyObject* build(PyObject* input, const CharT* text, Py_ssize_t length, std::vector<ElementSpan>* spans) {
  StorageLease storage;
  // Indexing reads the str's characters and nothing else of Python's: the
  // caller holds the str and a str never changes, so other threads run
  // meanwhile. A short text is indexed before another thread would get far,
  // and giving the interpreter up can cost a wait of up to a switch interval
  // to get it back, so it keeps the interpreter.
  std::optional<GilReleased> released;
  if (length >= kCharsToRelease) released.emplace();
  const MarkupIndex<CharT> index(
      text, static_cast<Pos>(length), storage.get(),
      released ? fast::Checkpoint(&GilReleased::checkpoint, &*released)
               : fast::Checkpoint(&run_signal_handlers, nullptr));
  if (released) released->end();
  if (index.has_surrogate()) {
    // Only a str with a lone surrogate has no UTF-8 form: asking for it
    // raises the encoder's own error.
    Py_ssize_t size = 0;
    if (!PyUnicode_AsUTF8AndSize(input, &size)) return nullptr;
  }
  // One slot per tag, filled by the elements' opening tags: tags are in
  // text order, and so are the elements' starts.
  if (spans) spans->assign(index.tags().size(), ElementSpan{0, 0, 0, 0});
  GcPause pause;
  PyBuilder<CharT> builder(input, index, pause, spans ? spans->data() : nullptr);
  fast::scan_markup(index, builder, fast::Checkpoint(
      [](void* b) { static_cast<PyBuilder<CharT>*>(b)->check_signals(); }, &builder));
  if (spans) std::erase_if(*spans, [](const ElementSpan& e) { return e.end == 0; });
  return builder.release();
}

}  // namespace

PyObject* fast_parse_to_py(PyObject* input, std::vector<ElementSpan>* spans) {
  const StrStorage t = str_storage(input);
  if (spans) spans->clear();
  if (t.length == 0) Py_RETURN_NONE;
  if (static_cast<std::uint64_t>(t.length) >= fast::kNone) {
    PyErr_SetString(PyExc_ValueError, "parse() takes texts of fewer than 4294967295 characters");
    return nullptr;
  }
  switch (t.kind) {
    case PyUnicode_1BYTE_KIND:
      return build(input, static_cast<const std::uint8_t*>(t.data), t.length, spans);
    case PyUnicode_2BYTE_KIND:
      return build(input, static_cast<const std::uint16_t*>(t.data), t.length, spans);
    default:
      return build(input, static_cast<const std::uint32_t*>(t.data), t.length, spans);
  }
}

}  // namespace quillet
