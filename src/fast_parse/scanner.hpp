// scan_markup: the element tree of a whole text, level by level, from a
// MarkupIndex, handed to a builder.
//
// This produces exactly what the scanning loop produces with a single
// whole-element detector, without trying detectors character by character:
//  - an attempt at position i skips whitespace to j and needs a valid,
//    non-closing tag at j whose ">" lies inside the current buffer;
//  - a failed attempt fails the same way from every position of the
//    whitespace run before j and at j itself, so scanning resumes after j;
//  - text runs are the stretches between matches (whitespace before an
//    element belongs to the element's match);
//  - an element's content is scanned again as its own level; levels are kept
//    on an explicit stack, so nesting depth costs no call stack.
#pragma once

#include <vector>

#include "fast_parse/markup_index.hpp"

namespace quillet::fast {

struct Node {
  bool element;   // otherwise a text run
  Span span;      // a text run's characters; an element's content
  std::size_t tag;  // an element's opening tag (index into MarkupIndex::tags())
};

// Builder requirements:
//   using Handle = ...;       // names a level's parent
//   Handle root();            // the parent of the top level
//   // Builds one level (never empty) under `parent`; for every element
//   // node with non-empty content, appends the handle its own level will
//   // get, in node order.
//   void level(Handle parent, const std::vector<Node>& nodes, std::vector<Handle>& child_parents);
template <class CharT, class Builder>
void scan_markup(const MarkupIndex<CharT>& index, Builder& builder) {
  using Handle = typename Builder::Handle;
  struct Level {
    Span range;
    Handle parent;
  };
  const CharT* text = index.text();
  const std::vector<Tag>& tags = index.tags();
  std::vector<Level> stack;
  std::vector<Node> nodes;
  std::vector<Handle> handles;
  if (index.size() == 0) return;
  stack.push_back(Level{Span{0, index.size()}, builder.root()});

  while (!stack.empty()) {
    const Level level = stack.back();
    stack.pop_back();
    const Pos end = level.range.end;
    nodes.clear();
    Pos pending = level.range.begin;  // start of the text run being gathered
    Pos i = level.range.begin;
    std::size_t next_tag = index.first_tag_at_or_after(i);
    while (i < end) {
      Pos j = i;
      while (j < end && is_space(text[j])) ++j;
      bool matched = false;
      if (j < end && text[j] == '<') {
        while (next_tag < tags.size() && tags[next_tag].start < j) ++next_tag;
        if (next_tag < tags.size() && tags[next_tag].start == j) {
          const Tag& open = tags[next_tag];
          if (!open.closing && open.close < end) {
            if (open.self_closing) {
              if (pending < i) nodes.push_back(Node{false, Span{pending, i}, 0});
              nodes.push_back(Node{true, Span{open.close + 1, open.close + 1}, next_tag});
              i = pending = open.close + 1;
              matched = true;
            } else if (auto close = index.element_close(next_tag, end)) {
              if (pending < i) nodes.push_back(Node{false, Span{pending, i}, 0});
              const Tag& last = tags[*close];
              nodes.push_back(Node{true, Span{open.close + 1, last.start}, next_tag});
              i = pending = last.close + 1;
              matched = true;
            }
          }
        }
      }
      if (!matched) i = j < end ? j + 1 : end;
    }
    if (pending < end) nodes.push_back(Node{false, Span{pending, end}, 0});

    handles.clear();
    builder.level(level.parent, nodes, handles);
    std::size_t h = 0;
    for (const Node& node : nodes)
      if (node.element && node.span.size() > 0) stack.push_back(Level{node.span, handles[h++]});
  }
}

}  // namespace quillet::fast
