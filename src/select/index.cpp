// TreeIndex::build: one walk over the tree, as a visitor of walk_nodes.
#include "select/index.hpp"

#include <algorithm>
#include <new>

#include "python/py_state.hpp"
#include "select/text.hpp"
#include "select/values.hpp"
#include "tree/walk.hpp"

namespace quillet::select {
namespace {

// The bytes that identify a str's value: equal strs have equal kinds and data.
std::string key_of(PyObject* s) {
  Text t;
  if (!text_of(s, t)) throw std::bad_alloc();
  std::string key(1, static_cast<char>(t.kind));
  key.append(static_cast<const char*>(t.data), static_cast<std::size_t>(t.size) * t.kind);
  return key;
}

class Indexer {
 public:
  Indexer(TreeIndex& ix, bool want_text, const char* who)
      : ix_(ix), want_text_(want_text), who_(who) {
    ix_.elements.reserve(1024);
    ix_.nodes.reserve(1024);
  }

  bool text(PyObject* run) {
    if (!want_text_ || open_.empty()) return true;
    std::uint8_t& has = ix_.nodes[open_.back().element].text;
    if (has) return true;
    Text t;
    if (!text_of(run, t)) return false;
    has = !only_comments(t);
    return true;
  }

  int enter(PyObject* element, PyRef& children, PyRef&) {
    const std::size_t n = ix_.elements.size();
    if (n >= kNone - 1) {
      PyErr_Format(PyExc_MemoryError, "%s: too many elements", who_);
      return -1;
    }
    const auto e = static_cast<std::uint32_t>(n);
    // An element stands at more than one place if it or anything above it
    // may (one shared element puts all it holds at each of its places).
    const bool under_shared = !open_.empty() && open_.back().shared;
    const std::uint8_t shared = under_shared || tree::held_elsewhere_element(element);
    ix_.elements.push_back(PyRef::borrow(element));
    PyRef tag;
    if (!tag_of(element, e, who_, tag)) return -1;
    const std::uint32_t parent = open_.empty() ? kNone : open_.back().element;
    std::uint32_t& last = open_.empty() ? top_last_ : open_.back().last;
    ix_.nodes.push_back(Node{parent, last, kNone, intern(tag.get()), 0, 0, shared});
    if (last != kNone) ix_.nodes[last].next = e;
    if (parent != kNone) ix_.nodes[parent].has_child = 1;
    last = e;
    const int descend = tree::children_of(element, children);
    if (descend < 0) {
      if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        // Name the element whose children are wrong.
        PyObject *type, *value, *trace;
        PyErr_Fetch(&type, &value, &trace);
        PyErr_NormalizeException(&type, &value, &trace);
        PyErr_Format(PyExc_TypeError, "%s: %S (%s)", who_, value, ix_.describe(e).c_str());
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(trace);
      }
      return -1;
    }
    if (descend > 0) open_.push_back(Open{e, kNone, shared || tree::held_elsewhere_children(children.get())});
    return descend;
  }

  // The tag's number. Trees hold few distinct tag strs (parse shares one
  // among the elements of a tag), so a small cache by address answers most.
  std::uint32_t intern(PyObject* tag) {
    Seen& seen = seen_[(reinterpret_cast<std::uintptr_t>(tag) >> 4) % kSeen];
    if (seen.tag != tag) {
      seen.tag = tag;
      seen.number = ix_.intern(tag);  // holds the tag, so the address stays its own
    }
    return seen.number;
  }

  bool leave(PyRef&) {
    open_.pop_back();
    return true;
  }

  // Names where a node of the wrong type stood, when that ended the walk.
  void place_error() {
    if (open_.empty()) return place_node_error(who_, nullptr);
    const std::uint32_t e = open_.back().element;
    const Where parent{e, ix_.tags[ix_.nodes[e].tag].get()};
    place_node_error(who_, &parent);
  }

 private:
  TreeIndex& ix_;
  bool want_text_;
  const char* who_;
  struct Open {
    std::uint32_t element;  // whose children are being walked
    std::uint32_t last;     // its last child element so far, or kNone
    bool shared;            // its children may stand at more than one place
  };
  std::vector<Open> open_;
  std::uint32_t top_last_ = kNone;  // the last top-level element so far
  struct Seen {
    PyObject* tag = nullptr;  // held by the index once met
    std::uint32_t number = 0;
  };
  static constexpr std::size_t kSeen = 64;
  Seen seen_[kSeen];
};

}  // namespace

std::uint32_t TreeIndex::intern(PyObject* tag) {
  const auto seen = by_object_.find(tag);
  if (seen != by_object_.end()) return seen->second;
  const auto number = static_cast<std::uint32_t>(tags.size());
  const auto [at, fresh] = by_text_.try_emplace(key_of(tag), number);
  if (fresh) tags.push_back(PyRef::borrow(tag));
  tags_seen_.push_back(PyRef::borrow(tag));
  by_object_.emplace(tag, at->second);
  return at->second;
}

std::uint32_t TreeIndex::tag_number(PyObject* tag) const {
  const auto at = by_text_.find(key_of(tag));
  return at == by_text_.end() ? kNone : at->second;
}

std::string TreeIndex::describe(std::uint32_t e) const {
  return select::describe(Where{e, tags[nodes[e].tag].get()});
}

bool TreeIndex::build(PyObject* tree, bool want_text, const char* who) {
  Indexer indexer(*this, want_text, who);
  const std::string message = std::string(who) + ": the tree holds itself (a list inside itself)";
  if (tree::walk_nodes(tree, indexer, message.c_str())) return true;
  indexer.place_error();
  return false;
}

}  // namespace quillet::select
