// TreeIndex::build: one walk over the tree, as a visitor of walk_nodes.
#include "select/index.hpp"

#include <algorithm>
#include <new>

#include "python/py_state.hpp"
#include "select/text.hpp"
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
    ix_.first_child.push_back(kNone);  // the tree's own slot, moved to the end later
  }

  bool text(PyObject* run) {
    if (!want_text_ || open_.empty()) return true;
    std::uint8_t& has = ix_.nodes[open_.back()].text;
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
    // walk_nodes holds the element while enter runs: a count above two means
    // another list (or the caller) holds it too.
    const std::uint8_t shared = Py_REFCNT(element) > 2;
    ix_.elements.push_back(PyRef::borrow(element));
    PyRef tag;
    const int found = tree::lookup(element, element_keys().tag, tag);  // may run a key's __eq__
    if (found < 0) return -1;
    if (!found || !PyUnicode_Check(tag.get())) {
      if (found) {
        PyErr_Format(PyExc_TypeError, "%s: the tag of element %u in document order is %s, not str",
                     who_, e, Py_TYPE(tag.get())->tp_name);
      } else {
        PyErr_Format(PyExc_TypeError, "%s: element %u in document order has no \"tag\"", who_, e);
      }
      return -1;
    }
    const std::uint32_t parent = open_.empty() ? kNone : open_.back();
    const std::uint32_t slot = parent == kNone ? 0 : parent + 1;
    ix_.nodes.push_back(Node{parent, last_[slot], kNone, intern(tag.get()), 0, shared});
    if (last_[slot] != kNone) {
      ix_.nodes[last_[slot]].next = e;
    } else {
      ix_.first_child[slot] = e;
    }
    last_[slot] = e;
    ix_.first_child.push_back(kNone);
    last_.push_back(kNone);
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
    if (descend > 0) open_.push_back(e);
    return descend;
  }

  // The tag's number; parse shares one str among the elements of a tag, and
  // elements of one tag often come in runs.
  std::uint32_t intern(PyObject* tag) {
    if (tag != last_tag_) {
      last_tag_ = tag;
      last_number_ = ix_.intern(tag);  // holds the tag
    }
    return last_number_;
  }

  bool leave(PyRef&) {
    open_.pop_back();
    return true;
  }

 private:
  TreeIndex& ix_;
  bool want_text_;
  const char* who_;
  std::vector<std::uint32_t> open_;  // the elements whose children are being walked
  // The last child element so far, by slot: 0 for the tree, e + 1 for element e.
  std::vector<std::uint32_t> last_{kNone};
  PyObject* last_tag_ = nullptr;  // held by the index once met
  std::uint32_t last_number_ = 0;
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
  std::string out = "element " + std::to_string(e) + " in document order";
  PyObject* tag_str = tags[nodes[e].tag].get();
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(tag_str, &size);
  if (utf8) {
    out += ", <" + std::string(utf8, static_cast<std::size_t>(std::min<Py_ssize_t>(size, 40))) + ">";
  } else {
    PyErr_Clear();
  }
  return out;
}

bool TreeIndex::build(PyObject* tree, bool want_text, const char* who) {
  Indexer indexer(*this, want_text, who);
  const std::string message = std::string(who) + ": the tree holds itself (a list inside itself)";
  if (!tree::walk_nodes(tree, indexer, message.c_str())) return false;
  // The tree's own slot goes last, after the elements'.
  first_child.push_back(first_child[0]);
  first_child.erase(first_child.begin());
  return true;
}

}  // namespace quillet::select
