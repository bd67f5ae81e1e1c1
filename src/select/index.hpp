// The element index of a tree: every element in document order, with its
// parent and its element siblings, built in one walk (tree/walk.hpp) so that
// each selector is matched by passes over flat arrays, forwards and
// backwards, whatever the tree's depth.
#pragma once

#include <Python.h>

#include <cstdint>
#include <unordered_map>
#include <string>
#include <vector>

#include "python/py_ref.hpp"

namespace quillet::select {

inline constexpr std::uint32_t kNone = UINT32_MAX;

// What the index knows of one element.
struct Node {
  std::uint32_t parent;  // kNone for a top-level element
  std::uint32_t prev;    // the element sibling before, or kNone
  std::uint32_t next;    // the element sibling after, or kNone
  std::uint32_t tag;     // the tag's number in TreeIndex::tags
  std::uint8_t text;       // holds a text run other than comments (when asked)
  std::uint8_t has_child;  // holds an element
  std::uint8_t shared;   // may stand at more than one place in the tree
};

struct TreeIndex {
  // By element number (document order); elements[i] is held for the whole
  // match, so code run meanwhile cannot free what the index names.
  std::vector<PyRef> elements;
  std::vector<Node> nodes;
  // The distinct tags, by number, held.
  std::vector<PyRef> tags;

  std::uint32_t size() const { return static_cast<std::uint32_t>(elements.size()); }
  // The parent's number for per-parent arrays: the tree's own for top-level elements.
  std::uint32_t up(std::uint32_t e) const { return nodes[e].parent == kNone ? size() : nodes[e].parent; }
  // The tag number of a str, or kNone when no element has that tag.
  std::uint32_t tag_number(PyObject* tag) const;

  // Fills the index from `tree` (a list of nodes, a node or None). With
  // `want_text`, `text` is filled too. False with an error set: TypeError for
  // a node or tag of the wrong type, ValueError for a list inside itself, or a
  // signal handler's exception. `who` starts error messages ("select()").
  // Throws std::bad_alloc.
  bool build(PyObject* tree, bool want_text, const char* who);

  // What names element e in an error message: its tag and number.
  std::string describe(std::uint32_t e) const;

  // The number of a tag (a str), given to it when first met.
  std::uint32_t intern(PyObject* tag);

 private:
  std::unordered_map<PyObject*, std::uint32_t> by_object_;  // objects in `tags_seen_`
  std::vector<PyRef> tags_seen_;                            // holds the keys of by_object_
  std::unordered_map<std::string, std::uint32_t> by_text_;  // a tag's kind and bytes
};

}  // namespace quillet::select
