// scan_markup: the element tree of a whole text, level by level, from a
// MarkupIndex, handed to a builder.
//
// This produces exactly what the scanning loop produces with a single
// whole-element detector, without trying detectors character by character:
//  - an attempt at position i skips whitespace to j and needs a valid,
//    non-closing tag at j whose ">" lies inside the current buffer, so only
//    the whitespace run before such a tag can hold a successful attempt, and
//    the first position of that run is the one tried;
//  - text runs are the stretches between matches (whitespace before an
//    element belongs to the element's match);
//  - an element's content is scanned again as its own level; levels are kept
//    on an explicit stack, so nesting depth costs no call stack.
#pragma once

#include <algorithm>
#include <vector>

#include "fast_parse/markup_index.hpp"

namespace quillet::fast {

struct Node {
  Span span;  // a text run's characters; an element's content
  Pos tag;    // an element's opening tag (index into MarkupIndex::tags()), or kNone for a text run
  Pos after = 0;  // an element's end: just past its closing or self-closing tag
  bool element() const { return tag != kNone; }
};

// Builder requirements:
//   using Handle = ...;       // names a level's parent
//   Handle root();            // the parent of the top level
//   // Builds one level (never empty) under `parent`; for every element
//   // node with non-empty content, appends the handle its own level will
//   // get, in node order.
//   void level(Handle parent, const std::vector<Node>& nodes, std::vector<Handle>& child_parents);
// `check` is called every kTagsPerCheck tags the scan passes over (the
// builder looks after the work it does itself); what it throws ends the scan.
template <class CharT, class Builder>
void scan_markup(const MarkupIndex<CharT>& index, Builder& builder, const Checkpoint& check = {}) {
  using Handle = typename Builder::Handle;
  struct Level {
    Span range;
    Handle parent;
    std::size_t first_tag;  // a guess at the level's first tag
  };
  const CharT* text = index.text();
  const std::vector<Tag>& tags = index.tags();
  std::vector<Level> stack;
  std::vector<Node> nodes;
  std::vector<Handle> handles;
  std::size_t passed = 0;  // tags the loop below has looked at, over all levels
  if (index.size() == 0) return;
  // A level holds at most one node per tag and one text run more per tag;
  // reserved once (up to 2^25 nodes), only what is written becomes memory
  // the process uses.
  nodes.reserve(std::min<std::size_t>(2 * tags.size() + 1, std::size_t{1} << 25));
  stack.push_back(Level{Span{0, index.size()}, builder.root(), 0});

  while (!stack.empty()) {
    const Level level = stack.back();
    stack.pop_back();
    const Pos end = level.range.end;
    nodes.clear();
    Pos pending = level.range.begin;  // start of the text run being gathered
    // Only a valid, non-closing tag whose ">" lies inside the level can start
    // an element, and only an attempt from the whitespace run right before it
    // reaches it. Every other position fails, so the scan goes from one such
    // tag to the next instead of from character to character.
    for (std::size_t t = index.first_tag_at_or_after(pending, level.first_tag);
         t < tags.size() && tags[t].start < end; ++t) {
      check_every_tags(check, passed++);
      const Tag& open = tags[t];
      if (open.start < pending || open.closing || open.close >= end) continue;
      Pos attempt = open.start;  // where the whitespace run before the tag begins
      while (attempt > pending && is_space(text[attempt - 1])) --attempt;
      Pos after;
      Span content;
      std::size_t resume;  // the last tag inside the element's match
      if (open.self_closing) {
        after = open.close + 1;
        content = Span{after, after};
        resume = t;
      } else if (auto close = index.element_close(t, end, check)) {
        const Tag& last = tags[*close];
        after = last.close + 1;
        content = Span{open.close + 1, last.start};
        resume = *close;
      } else {
        continue;
      }
      if (pending < attempt) nodes.push_back(Node{Span{pending, attempt}, kNone, 0});
      nodes.push_back(Node{content, static_cast<Pos>(t), after});
      pending = after;
      // Jump over the tags inside the match: its content is scanned as a level
      // of its own, and walking them here would make deep nesting quadratic.
      // (Only tags inside a self-closing tag's quoted values remain, once.)
      t = resume;
    }
    if (pending < end) nodes.push_back(Node{Span{pending, end}, kNone, 0});

    handles.clear();
    builder.level(level.parent, nodes, handles);
    std::size_t h = 0;
    for (const Node& node : nodes)
      if (node.element() && node.span.size() > 0) stack.push_back(Level{node.span, handles[h++], node.tag + 1});
  }
}

}  // namespace quillet::fast
