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
//     valid depends only on its own characters, so each tag is read once,
//     when its ">" is found, and its attributes are kept for the builder.
//  4. An element of name N is closed by the first N-tag at which the count of
//     N-openings (+1, self-closing included) and N-closings (-1) returns to
//     zero; the walk jumps over the extent of every N-tag it counts, so an
//     N-tag inside a counted N-tag (in a quoted value) is skipped.
//     - When no valid tag lies inside another (nearly every real page), that
//       walk is plain stack matching, done once for all tags.
//     - Otherwise the N-tags of each name are arranged as a forest by
//       containment, with prefix sums over each sibling list, so that the
//       walk becomes a lookup.
//  5. All arrays live in an IndexStorage, which a caller may keep from call
//     to call so that repeated parses reuse memory instead of asking the
//     system for fresh pages each time.
//  6. Every loop over the text or over all tags calls the caller's
//     Checkpoint at its stride, and nothing between two calls costs more
//     than a stride's worth: no step of indexing runs long unobserved.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "base/char_classes.hpp"
#include "fast_parse/checkpoint.hpp"

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

// The character classes of tags, shared with the detectors.
using char_class::is_name_char;
using char_class::is_space;

// A hash of the characters of `s`, for names and short texts: the storage
// is mixed eight bytes at a time, so a short name costs one multiplication.
template <class CharT>
std::uint64_t hash_chars(const CharT* text, Span s) {
  const auto* p = reinterpret_cast<const unsigned char*>(text + s.begin);
  std::size_t n = static_cast<std::size_t>(s.size()) * sizeof(CharT);
  std::uint64_t h = n * 0x9E3779B97F4A7C15ULL;
  for (; n >= 8; n -= 8, p += 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    h = (h ^ word) * 0xFF51AFD7ED558CCDULL;
    h ^= h >> 32;
  }
  std::uint64_t tail = 0;
  for (std::size_t i = 0; i < n; ++i) tail |= static_cast<std::uint64_t>(p[i]) << (8 * i);
  h = (h ^ tail) * 0xC4CEB9FE1A85EC53ULL;
  return h ^ (h >> 29);
}

// Whether the spans `a` and `b` of `text` hold the same characters. Names
// and shared texts are short: a loop beats a call to memcmp.
template <class CharT>
bool same_chars(const CharT* text, Span a, Span b) {
  if (a.size() != b.size()) return false;
  for (Pos i = 0; i < a.size(); ++i)
    if (text[a.begin + i] != text[b.begin + i]) return false;
  return true;
}

// hash_chars and same_chars for spans of any length: one longer than
// kCharsPerCheck is read a stride at a time, with a check between.
template <class CharT>
std::uint64_t hash_span(const CharT* text, Span s, const Checkpoint& check) {
  if (s.size() <= kCharsPerCheck) return hash_chars(text, s);
  std::uint64_t h = s.size();
  for (std::size_t at = s.begin; at < s.end; at += kCharsPerCheck) {
    check();
    const auto stop = static_cast<Pos>(std::min<std::size_t>(at + kCharsPerCheck, s.end));
    h = (h ^ hash_chars(text, Span{static_cast<Pos>(at), stop})) * 0x9E3779B97F4A7C15ULL;
  }
  return h ^ (h >> 29);
}

template <class CharT>
bool same_span(const CharT* text, Span a, Span b, const Checkpoint& check) {
  if (a.size() <= kCharsPerCheck) return same_chars(text, a, b);
  if (a.size() != b.size()) return false;
  for (std::size_t at = 0; at < a.size(); at += kCharsPerCheck) {
    check();
    const auto n = static_cast<Pos>(std::min<std::size_t>(kCharsPerCheck, a.size() - at));
    const auto from = static_cast<Pos>(at);
    if (!same_chars(text, Span{a.begin + from, a.begin + from + n}, Span{b.begin + from, b.begin + from + n}))
      return false;
  }
  return true;
}

// Why the characters from a "<" to its ">" do not read as a valid tag.
enum class TagFault : std::uint8_t {
  none,                     // they do: a valid tag
  no_name,                  // no name after "<" or "</"
  colon_in_name,            // a name, of the tag or an attribute, goes on with ":"
  bad_name_char,            // the tag's name goes on with a character names do not hold
  attribute_without_value,  // a key without "=" and a value
  single_quoted_value,
  unquoted_value,
  unterminated_value,       // a value whose closing quote is not inside the tag
  end_tag_attributes,       // "</name key=...>"
  slash_in_end_tag,         // "</name/>"
  misplaced_slash,          // a "/" that is not the last character before ">"
  stray_character,          // a character that starts no attribute
  repeated_attribute,
  no_gt,                    // a "<" that no ">" balances
};

// A "<" that starts no valid tag: its extent (close is kNone without one)
// and why.
struct Rejected {
  Pos start, close;
  TagFault fault;
};

// A tag read while its extent lies inside an unmatched "<" or another
// tag's extent: it is placed once the enclosing bracket closes.
struct PendingTag {
  Tag tag;
  Span attributes;  // into the index's attributes
};

// Sorts `items` by tag start, keeping the order of equal starts; `scratch`
// is room it may use. Linear in the items, calling `check` at its stride.
void sort_by_start(std::vector<PendingTag>& items, std::vector<PendingTag>& scratch, const Checkpoint& check);

// Whether two of the `count` attributes at `read` have keys of the same
// characters; `table` is room for a hash table of the keys when there are
// many (more than 8).
template <class CharT>
bool has_repeated_key(const CharT* text, const Attribute* read, std::size_t count, std::vector<Pos>& table,
                      const Checkpoint& check);

// The arrays of an index. Kept between calls, they keep their capacity.
class IndexStorage {
 public:
  // Bytes the last index filled: what it made resident (capacity reserved
  // but never written costs address space only).
  std::size_t used_bytes() const;
  // Gives every array's memory back.
  void release();

 private:
  template <class CharT>
  friend class MarkupIndex;

  using Pending = PendingTag;
  // One sibling list of a forest: its slots, and the tag enclosing it.
  struct List {
    Pos begin, end;
    Pos parent;  // tag index, or kNone for the roots of a name
  };

  void clear();
  // Calls f on every array of `s` (an IndexStorage, const or not).
  template <class Self, class F>
  static void each_array(Self& s, F&& f);

  std::vector<Tag> tags;                   // valid tags, by start
  std::vector<Attribute> attributes;       // of all tags, each tag's together
  std::vector<Span> attribute_ranges;      // per tag with attributes, by tag order
  std::vector<std::uint64_t> has_attributes;  // a bit per tag
  std::vector<Pos> attribute_rank;         // per 64 tags: tags with attributes before them
  std::vector<Pos> match;                  // tag -> closing tag, without nesting
  std::vector<Span> name_spans;            // name id -> first place it is written
  std::vector<Pos> name_table;             // open addressing over name ids
  std::vector<Pos> open;                   // unmatched "<" while scanning
  std::vector<Pending> pending;
  std::vector<Pending> pending_sorted;     // scratch for sorting `pending`
  std::vector<Pos> key_table;              // scratch for the duplicate-key check

  // The forests, built only when tags nest (convention 4).
  std::vector<List> lists;
  std::vector<Pos> slot_tag;       // slot -> tag index
  std::vector<std::int32_t> sum;   // slot -> prefix sum of +1/-1 within its list
  std::vector<Pos> next_lower;     // slot -> first later slot of the list with a smaller sum, or kNone
  std::vector<Pos> tag_slot;       // tag index -> slot
  std::vector<Pos> tag_list;       // tag index -> list
  std::vector<Pos> children_list;  // attribute rank -> list of the tag's children, or kNone
  // Range minimum over `sum`, built on first need (only when walks leave the
  // sibling list they start in, which takes tags inside quoted values).
  std::vector<std::int32_t> min_tree;
  Pos min_leaves = 0;
};

template <class CharT>
class MarkupIndex {
 public:
  // Indexes `text` in `storage`, which must outlive the index and serve one
  // index at a time. `check` is called now and then (convention 6); what
  // it throws ends the indexing.
  MarkupIndex(const CharT* text, Pos size, IndexStorage& storage, const Checkpoint& check = {});
  // Indexes `text` in storage of its own.
  MarkupIndex(const CharT* text, Pos size, const Checkpoint& check = {});
  // The same, and appends to `rejected` every "<" that starts no valid tag,
  // in no particular order.
  MarkupIndex(const CharT* text, Pos size, std::vector<Rejected>& rejected, const Checkpoint& check = {});

  const CharT* text() const { return text_; }
  // Whether the text holds a surrogate (U+D800 to U+DFFF), found on the
  // way: such a text has no UTF-8 form.
  bool has_surrogate() const { return surrogate_; }
  Pos size() const { return size_; }
  const std::vector<Tag>& tags() const { return s_.tags; }
  std::uint32_t name_count() const { return static_cast<std::uint32_t>(s_.name_spans.size()); }
  // Where the name with this id is first written.
  Span name_span(std::uint32_t name) const { return s_.name_spans[name]; }

  // The index of the first valid tag starting at or after `pos`; `hint` is a
  // guess at or before the answer that saves the search when it is close.
  std::size_t first_tag_at_or_after(Pos pos, std::size_t hint = 0) const;

  // The attributes of the tag with index `tag`, in the order written.
  std::span<const Attribute> attributes(std::size_t tag) const;

  // For a valid opening, non-self-closing tag: the index of the closing tag
  // that ends its element inside a buffer ending at `end`, or nullopt. The
  // first call that needs the range-minimum table builds it, calling `check`
  // at its stride.
  std::optional<std::size_t> element_close(std::size_t tag, Pos end, const Checkpoint& check = {}) const {
    if (!nested_) {
      const Pos close = s_.match[tag];
      if (close != kNone && s_.tags[close].close < end) return close;
      return std::nullopt;
    }
    return forest_close(tag, end, check);
  }

 private:
  void index();
  void place_pending();
  // Reads the tag whose extent is [start, close] and appends its attributes;
  // TagFault::none if it is valid, else why not (with nothing appended).
  TagFault read_tag(Pos start, Pos close, Tag& out);
  // read_tag for tags up to kCharsPerCheck characters (kLong false), read
  // at one go, or for longer ones, read a stride at a time with checks.
  template <bool kLong>
  TagFault read_tag_in(Pos start, Pos close, Tag& out);
  void place(const Tag& tag, Span attributes);
  // The tag's place among the tags with attributes, or kNone without any.
  Pos attribute_rank(std::size_t tag) const;
  std::uint32_t intern(Span name);
  void match_without_nesting();
  void build_forests();
  std::optional<std::size_t> forest_close(std::size_t tag, Pos end, const Checkpoint& check) const;
  // First list slot in [from, limit) whose prefix sum is <= target, or kNone.
  Pos first_at_or_below(Pos from, Pos limit, std::int32_t target, const Checkpoint& check) const;
  void build_min_tree(const Checkpoint& check) const;

  const CharT* text_;
  Pos size_;
  std::unique_ptr<IndexStorage> own_;  // when no storage was given
  IndexStorage& s_;
  Checkpoint check_;  // while indexing
  bool nested_ = false;  // some valid tag lies inside another
  bool surrogate_ = false;
  Pos max_close_ = 0;
  std::vector<Rejected>* rejected_ = nullptr;  // where rejected "<" are noted, if anywhere    // the furthest ">" of the tags placed so far
};

}  // namespace quillet::fast
