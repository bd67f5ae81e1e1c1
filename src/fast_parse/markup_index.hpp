// MarkupIndex: every tag of a text found and read once, so that elements can
// be matched without walking the text again.
//
// Conventions of this file:
//  1. Positions are character offsets into the whole text, 32 bits wide
//     (texts longer than that are refused before indexing).
//  2. A tag's extent is its "<" and the ">" that balances it: brackets nest,
//     so extents are properly nested or disjoint, never crossing.
//  3. A tag either reads as a valid tag (name, double-quoted attributes with
//     distinct keys, slashes in their places) or is plain text. Whether it is
//     valid depends only on its own characters.
//  4. An element of name N is closed by the first N-tag at which the count of
//     N-openings (+1, self-closing included) and N-closings (-1) returns to
//     zero; the walk jumps over the extent of every N-tag it counts, so an
//     N-tag inside a counted N-tag (in a quoted value) is skipped. The index
//     arranges the N-tags of each name as a forest by containment, with
//     prefix sums over each sibling list, so that walk becomes a lookup.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace quillet::fast {

using Pos = std::uint32_t;
inline constexpr Pos kNone = 0xFFFFFFFFu;

struct Span {
  Pos begin = 0, end = 0;
  Pos size() const { return end - begin; }
};

struct Attribute {
  Span key, value;
};

// One valid tag.
struct Tag {
  Pos start;                       // the "<"
  Pos close;                       // the ">" that balances it
  std::uint32_t name : 30;         // interned name id: 2^30 distinct names need more text than fits
  std::uint32_t closing : 1;       // "</..."
  std::uint32_t self_closing : 1;  // ".../>"
};

inline bool is_space(std::uint32_t c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }
inline bool is_name_char(std::uint32_t c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

// FNV-1a over the characters of `s`: names and short texts are hashed for
// interning tables.
template <class CharT>
std::uint64_t hash_chars(const CharT* text, Span s) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (Pos i = s.begin; i < s.end; ++i) h = (h ^ static_cast<std::uint64_t>(text[i])) * 0x100000001b3ULL;
  return h;
}

template <class CharT>
class MarkupIndex {
 public:
  MarkupIndex(const CharT* text, Pos size);

  const CharT* text() const { return text_; }
  Pos size() const { return size_; }
  const std::vector<Tag>& tags() const { return tags_; }
  std::uint32_t name_count() const { return static_cast<std::uint32_t>(name_spans_.size()); }
  // Where the name with this id is first written.
  Span name_span(std::uint32_t name) const { return name_spans_[name]; }

  // The index of the first valid tag starting at or after `pos`; `hint` is a
  // guess at or before the answer that saves the search when it is close.
  std::size_t first_tag_at_or_after(Pos pos, std::size_t hint = 0) const;

  // The attributes of a valid tag, in the order written.
  void read_attributes(const Tag& tag, std::vector<Attribute>& out) const;

  // For a valid opening, non-self-closing tag: the index of the closing tag
  // that ends its element inside a buffer ending at `end`, or nullopt.
  std::optional<std::size_t> element_close(std::size_t tag, Pos end) const;

 private:
  // Parses the tag whose extent is [start, close]; false if it is not valid.
  bool parse_tag(Pos start, Pos close, Tag& out, std::vector<Attribute>* attributes) const;
  std::uint32_t intern(Span name);
  void build_forests();
  // First list slot in [from, limit) whose prefix sum is <= target, or kNone.
  Pos first_at_or_below(Pos from, Pos limit, std::int32_t target) const;
  void build_min_tree() const;

  const CharT* text_;
  Pos size_;
  std::vector<Tag> tags_;  // valid tags, by start

  // Name interning: open addressing over name ids.
  std::vector<Span> name_spans_;
  std::vector<std::uint32_t> name_table_;
  std::vector<std::uint64_t> name_hashes_;

  // The per-name forests. Every valid tag sits in exactly one sibling list
  // (the roots of its name, or the children of its nearest enclosing tag of
  // the same name); lists are stored one after another in `slot_tag_`.
  struct List {
    Pos begin, end;  // slots
    Pos parent;      // tag index of the enclosing tag, or kNone for roots
  };
  std::vector<List> lists_;
  std::vector<Pos> slot_tag_;      // slot -> tag index
  std::vector<std::int32_t> sum_;  // slot -> prefix sum of +1/-1 within its list
  std::vector<Pos> next_lower_;    // slot -> first later slot of the list with a smaller sum, or kNone
  std::vector<Pos> tag_slot_;      // tag index -> slot
  std::vector<Pos> tag_list_;      // tag index -> list
  std::vector<Pos> children_list_; // tag index -> list of its children, or kNone

  // Range minimum over sum_, built on first need (only when walks leave the
  // sibling list they start in, which takes tags inside quoted values).
  mutable std::vector<std::int32_t> min_tree_;
  mutable Pos min_leaves_ = 0;
};

}  // namespace quillet::fast
