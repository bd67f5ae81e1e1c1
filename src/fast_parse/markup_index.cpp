// MarkupIndex: bracket matching, tag reading, name interning, and the
// matching of closing tags, by a stack when tags do not nest and through
// per-name forests when they do.
#include "fast_parse/markup_index.hpp"

#include <algorithm>
#include <bit>
#include <type_traits>

#include "base/open_table.hpp"
#include "fast_parse/structural.hpp"

namespace quillet::fast {

// A radix sort on the 32-bit start, sixteen bits at a time: linear, so
// sorting ends in time proportional to the tags.
void sort_by_start(std::vector<PendingTag>& items, std::vector<PendingTag>& scratch, const Checkpoint& check) {
  std::vector<std::size_t> counts;
  assign_checked(scratch, items.size(), PendingTag{}, check);
  for (unsigned shift : {0u, 16u}) {
    counts.assign((std::size_t{1} << 16) + 1, 0);
    auto digit = [shift](const PendingTag& p) { return (p.tag.start >> shift) & 0xFFFFu; };
    for (std::size_t i = 0; i < items.size(); ++i) {
      ++counts[digit(items[i]) + 1];
      check_every_tags(check, i);
    }
    for (std::size_t d = 1; d < counts.size(); ++d) counts[d] += counts[d - 1];
    for (std::size_t i = 0; i < items.size(); ++i) {
      scratch[counts[digit(items[i])]++] = items[i];
      check_every_tags(check, i);
    }
    items.swap(scratch);
  }
}

template <class CharT>
bool has_repeated_key(const CharT* text, const Attribute* read, std::size_t count, std::vector<Pos>& table,
                      const Checkpoint& check) {
  if (count <= 8) {
    for (std::size_t a = 1; a < count; ++a)
      for (std::size_t b = 0; b < a; ++b)
        if (same_span(text, read[a].key, read[b].key, check)) return true;
    return false;
  }
  // One table of the keys seen, at most half full.
  assign_checked(table, std::bit_ceil(2 * count), kNone, check);
  for (std::size_t a = 0; a < count; ++a) {
    const Span key = read[a].key;
    Pos& slot = table[open_table::probe(table, kNone, hash_span(text, key, check),
                                        [&](Pos b) { return same_span(text, read[b].key, key, check); })];
    if (slot != kNone) return true;
    slot = static_cast<Pos>(a);
    check_every_tags(check, a);
  }
  return false;
}

template <class Self, class F>
void IndexStorage::each_array(Self& s, F&& f) {
  f(s.tags), f(s.attributes), f(s.attribute_ranges), f(s.has_attributes), f(s.attribute_rank);
  f(s.match), f(s.name_spans), f(s.name_table), f(s.open), f(s.pending), f(s.pending_sorted);
  f(s.key_table), f(s.lists);
  f(s.slot_tag), f(s.sum), f(s.next_lower), f(s.tag_slot), f(s.tag_list), f(s.children_list);
  f(s.min_tree);
}

std::size_t IndexStorage::used_bytes() const {
  std::size_t bytes = 0;
  each_array(*this, [&](const auto& v) { bytes += v.size() * sizeof(v[0]); });
  return bytes;
}

void IndexStorage::release() {
  each_array(*this, [](auto& v) { std::remove_reference_t<decltype(v)>().swap(v); });
  min_leaves = 0;
}

void IndexStorage::clear() {
  each_array(*this, [](auto& v) { v.clear(); });
  min_leaves = 0;
}

template <class CharT>
MarkupIndex<CharT>::MarkupIndex(const CharT* text, Pos size, IndexStorage& storage, const Checkpoint& check)
    : text_(text), size_(size), s_(storage), check_(check) {
  index();
}

template <class CharT>
MarkupIndex<CharT>::MarkupIndex(const CharT* text, Pos size, const Checkpoint& check)
    : text_(text), size_(size), own_(std::make_unique<IndexStorage>()), s_(*own_), check_(check) {
  index();
}

template <class CharT>
MarkupIndex<CharT>::MarkupIndex(const CharT* text, Pos size, std::vector<Rejected>& rejected,
                                const Checkpoint& check)
    : text_(text), size_(size), own_(std::make_unique<IndexStorage>()), s_(*own_), check_(check),
      rejected_(&rejected) {
  index();
}

template <class CharT>
void MarkupIndex<CharT>::index() {
  s_.clear();
  // Room for as many tags as the text could hold ("<a>" is the shortest),
  // so the array never moves while it grows: only the pages written become
  // memory the process uses. Past 2^24 tags (texts over 48 MB) it doubles,
  // checking as it moves (see reserve_checked), so a huge text does not ask
  // for more address space than a machine will grant at once.
  s_.tags.reserve(std::min<std::size_t>(size_ / 3 + 1, std::size_t{1} << 24));
  // Bracket matching: a ">" closes the most recent open "<". A pair is read
  // as a tag as soon as it closes. Pairs that close while an outer "<" is
  // still open lie inside it and wait until it closes (or the text ends), so
  // that tags are placed in the order of their "<". The text is read a
  // stride at a time, with a check after each.
  surrogate_ = false;
  for (std::size_t base = 0; base < size_; base += kCharsPerCheck) {
    const std::size_t stride = std::min<std::size_t>(kCharsPerCheck, size_ - base);
    surrogate_ |= for_each_bracket(text_ + base, stride, [&](std::size_t at) {
      const auto i = static_cast<Pos>(base + at);
      if (text_[i] == '<') {
        push_checked(s_.open, i, check_);
        return;
      }
      if (s_.open.empty()) return;
      const Pos start = s_.open.back();
      s_.open.pop_back();
      const auto first_attribute = static_cast<Pos>(s_.attributes.size());
      Tag tag;
      const TagFault fault = read_tag(start, i, tag);
      const bool valid = fault == TagFault::none;
      if (!valid && rejected_) push_checked(*rejected_, Rejected{start, i, fault}, check_);
      const Span attributes{first_attribute, static_cast<Pos>(s_.attributes.size())};
      if (s_.open.empty()) {
        if (valid) place(tag, attributes);
        if (!s_.pending.empty()) place_pending();
      } else if (valid) {
        push_checked(s_.pending, IndexStorage::Pending{tag, attributes}, check_);
      }
    });
    check_();
  }
  if (!s_.pending.empty()) place_pending();
  if (rejected_)
    for (const Pos start : s_.open) push_checked(*rejected_, Rejected{start, kNone, TagFault::no_gt}, check_);
  if (nested_) {
    build_forests();
  } else {
    match_without_nesting();
  }
}

template <class CharT>
void MarkupIndex<CharT>::place_pending() {
  // Pending tags arrive by their ">": inner ones first, but siblings in
  // order, so the list is often sorted already.
  auto by_start = [](const IndexStorage::Pending& a, const IndexStorage::Pending& b) {
    return a.tag.start < b.tag.start;
  };
  if (!std::is_sorted(s_.pending.begin(), s_.pending.end(), by_start)) {
    sort_by_start(s_.pending, s_.pending_sorted, check_);
  }
  // They all go to the end of `tags`: room for them is made at once.
  reserve_checked(s_.tags, s_.tags.size() + s_.pending.size(), check_);
  for (std::size_t i = 0; i < s_.pending.size(); ++i) {
    place(s_.pending[i].tag, s_.pending[i].attributes);
    check_every_tags(check_, i);
  }
  s_.pending.clear();
}

template <class CharT>
TagFault MarkupIndex<CharT>::read_tag(Pos start, Pos close, Tag& out) {
  if (close - start <= kCharsPerCheck) return read_tag_in<false>(start, close, out);
  return read_tag_in<true>(start, close, out);
}

template <class CharT>
template <bool kLong>
TagFault MarkupIndex<CharT>::read_tag_in(Pos start, Pos close, Tag& out) {
  const CharT* t = text_;
  Pos i = start + 1;
  const Pos end = close;
  // `scan(from, stop)`: the first position in [from, stop) where a scan
  // stops, or `stop`. In a long tag it runs a stride at a time with a check
  // between, since one run of spaces, of a name or of a value may be the
  // whole tag.
  auto strided = [&](Pos from, auto scan) {
    if constexpr (kLong) {
      for (;;) {
        const Pos stop = end - from > kCharsPerCheck ? from + static_cast<Pos>(kCharsPerCheck) : end;
        from = scan(from, stop);
        if (from < stop || stop == end) return from;
        check_();
      }
    } else {
      return scan(from, end);
    }
  };
  auto skip = [&](Pos from, auto is) {
    return strided(from, [&](Pos at, Pos stop) {
      while (at < stop && is(t[at])) ++at;
      return at;
    });
  };
  auto spaces = [&](Pos from) { return skip(from, [](CharT c) { return is_space(c); }); };
  auto name_chars = [&](Pos from) { return skip(from, [](CharT c) { return is_name_char(c); }); };
  // The first '"' from `from` on, or `end`.
  auto quote = [&](Pos from) {
    return strided(from, [&](Pos at, Pos stop) {
      return static_cast<Pos>(find_char(t, at, stop, static_cast<CharT>('"')));
    });
  };
  if (i == end) return TagFault::no_name;  // "<>"
  const bool closing = t[i] == '/';
  if (closing) ++i;
  i = spaces(i);
  const Pos name_begin = i;
  i = name_chars(i);
  if (i == name_begin) return TagFault::no_name;
  const Span name{name_begin, i};

  // Attributes: space, key, space, "=", space, a double-quoted value without
  // escapes. The first attempt that does not read as one ends the list, and
  // `stop` notes why, should the tag go on after it.
  std::vector<Attribute>& attributes = s_.attributes;
  const std::size_t first = attributes.size();
  [[maybe_unused]] Pos checked = i;  // where a long tag was last checked
  TagFault stop = TagFault::stray_character;
  for (;;) {
    if constexpr (kLong) {
      // Millions of short attributes: a check every stride's worth of them.
      if (i - checked >= kCharsPerCheck) {
        check_();
        checked = i;
      }
    }
    Pos k = spaces(i);
    const Pos key_begin = k;
    k = name_chars(k);
    if (k == key_begin) {
      if (k < end && t[k] == ':') stop = TagFault::colon_in_name;
      else if (k == name.end && k < end && t[k] != '/') stop = TagFault::bad_name_char;
      break;
    }
    const Span key{key_begin, k};
    k = spaces(k);
    if (k == end || t[k] != '=') {
      stop = k < end && t[k] == ':' ? TagFault::colon_in_name : TagFault::attribute_without_value;
      break;
    }
    k = spaces(k + 1);
    if (k == end || t[k] != '"') {
      stop = k < end && t[k] == '\'' ? TagFault::single_quoted_value : TagFault::unquoted_value;
      break;
    }
    const Pos value_begin = ++k;
    k = quote(k);
    if (k == end) {
      stop = TagFault::unterminated_value;
      break;
    }
    push_checked(attributes, Attribute{key, Span{value_begin, k}}, check_);
    i = k + 1;
  }
  const std::size_t count = attributes.size() - first;
  auto invalid = [&](TagFault why) {
    attributes.resize(first);
    return why;
  };
  if (count > 0 && closing) return invalid(TagFault::end_tag_attributes);
  i = spaces(i);
  const bool self_closing = i < end && t[i] == '/';
  if (self_closing) {
    if (closing) return invalid(TagFault::slash_in_end_tag);
    ++i;
  }
  if (i != end) {
    // A "/" followed by more than ">" reads as no attribute; what stands
    // after the last attribute decides the rest.
    return invalid(self_closing && stop == TagFault::stray_character ? TagFault::misplaced_slash : stop);
  }

  // A repeated key spoils the whole tag.
  if (has_repeated_key(t, attributes.data() + first, count, s_.key_table, check_))
    return invalid(TagFault::repeated_attribute);
  out = Tag{start, close, intern(name), closing, self_closing};
  return TagFault::none;
}

template <class CharT>
void MarkupIndex<CharT>::place(const Tag& tag, Span attributes) {
  const auto t = static_cast<Pos>(s_.tags.size());
  if (t % 64 == 0) {
    push_checked(s_.has_attributes, std::uint64_t{0}, check_);
    push_checked(s_.attribute_rank, static_cast<Pos>(s_.attribute_ranges.size()), check_);
  }
  if (attributes.size() > 0) {
    s_.has_attributes.back() |= std::uint64_t{1} << (t % 64);
    push_checked(s_.attribute_ranges, attributes, check_);
  }
  // Tags arrive by start, so a tag lies inside an earlier one exactly when
  // it starts before the furthest ">" seen so far.
  if (tag.start < max_close_) nested_ = true;
  max_close_ = std::max(max_close_, tag.close);
  push_checked(s_.tags, tag, check_);
}

template <class CharT>
Pos MarkupIndex<CharT>::attribute_rank(std::size_t tag) const {
  const std::uint64_t word = s_.has_attributes[tag / 64];
  const unsigned bit = tag % 64;
  if (!((word >> bit) & 1)) return kNone;
  return s_.attribute_rank[tag / 64] + static_cast<Pos>(std::popcount(word & ((std::uint64_t{1} << bit) - 1)));
}

template <class CharT>
std::span<const Attribute> MarkupIndex<CharT>::attributes(std::size_t tag) const {
  const Pos rank = attribute_rank(tag);
  if (rank == kNone) return {};
  const Span range = s_.attribute_ranges[rank];
  return {s_.attributes.data() + range.begin, range.size()};
}

template <class CharT>
std::uint32_t MarkupIndex<CharT>::intern(Span name) {
  std::vector<Pos>& table = s_.name_table;
  std::vector<Span>& spans = s_.name_spans;
  open_table::make_room(table, kNone, spans.size(), 64,
                        [this, &spans](std::size_t id) {
                          check_every_tags(check_, id);
                          return hash_span(text_, spans[id], check_);
                        });
  Pos& slot = table[open_table::probe(table, kNone, hash_span(text_, name, check_), [this, &spans, name](Pos id) {
    return same_span(text_, spans[id], name, check_);
  })];
  if (slot == kNone) {
    slot = static_cast<Pos>(spans.size());
    push_checked(spans, name, check_);
  }
  return slot;
}

template <class CharT>
std::size_t MarkupIndex<CharT>::first_tag_at_or_after(Pos pos, std::size_t hint) const {
  const std::vector<Tag>& tags = s_.tags;
  // Content starts right after its opening tag, so the answer is usually the
  // tag after the hint; tags inside the opening tag's quoted values are rare.
  for (std::size_t i = hint, steps = 0; i < tags.size() && steps < 8; ++i, ++steps)
    if (tags[i].start >= pos && (i == 0 || tags[i - 1].start < pos)) return i;
  return static_cast<std::size_t>(
      std::lower_bound(tags.begin(), tags.end(), pos, [](const Tag& t, Pos p) { return t.start < p; }) -
      tags.begin());
}

template <class CharT>
void MarkupIndex<CharT>::match_without_nesting() {
  // With no tag inside another, the walk of convention 4 never skips a tag,
  // so an element closes where stack matching over its name's tags says.
  // Each name's stack is a chain through `match`, which ends up holding
  // the closing tag of every matched opening.
  const std::vector<Tag>& tags = s_.tags;
  std::vector<Pos>& match = s_.match;
  std::vector<Pos>& top = s_.open;  // per name; the bracket stack is done with
  assign_checked(match, tags.size(), kNone, check_);
  assign_checked(top, s_.name_spans.size(), kNone, check_);
  for (Pos t = 0; t < tags.size(); ++t) {
    check_every_tags(check_, t);
    const Tag& tag = tags[t];
    Pos& head = top[tag.name];
    if (!tag.closing) {
      match[t] = head;
      head = t;
    } else if (head != kNone) {
      const Pos opening = head;
      head = match[opening];
      match[opening] = t;
    }
  }
  // Openings left on the stacks never close.
  std::size_t unmatched = 0;
  for (Pos head : top) {
    while (head != kNone) {
      const Pos below = match[head];
      match[head] = kNone;
      head = below;
      check_every_tags(check_, unmatched++);
    }
  }
  top.clear();
}

template <class CharT>
void MarkupIndex<CharT>::build_forests() {
  // Scratch arrays borrow the storage of arrays filled later, so the forests
  // cost no more memory than their own arrays.
  const std::size_t n = s_.tags.size();
  const std::size_t names = s_.name_spans.size();
  // Nearest enclosing tag of the same name, by one stack per name (a chain
  // through `below`); extents nest, so a tag that ended before this one
  // starts is closed for good.
  std::vector<Pos>& parent = s_.next_lower;
  assign_checked(parent, n, kNone, check_);
  {
    std::vector<Pos>& top = s_.open;  // per name; the bracket stack is done with
    std::vector<Pos>& below = s_.match;  // unused when tags nest
    assign_checked(top, names, kNone, check_);
    assign_checked(below, n, kNone, check_);
    for (Pos t = 0; t < n; ++t) {
      check_every_tags(check_, t);
      Pos& head = top[s_.tags[t].name];
      while (head != kNone && s_.tags[head].close < s_.tags[t].start) head = below[head];
      parent[t] = head;
      below[t] = head;
      head = t;
    }
    below.clear();
    s_.tag_slot.swap(below);
  }
  // One list for the roots of each name, one for the children of each tag
  // that has any; lists are laid out one after another. Only a tag with
  // attributes can hold others (in its quoted values), so children lists
  // are kept per tag with attributes.
  std::vector<Pos>& root_list = s_.open;
  assign_checked(root_list, names, kNone, check_);
  assign_checked(s_.children_list, s_.attribute_ranges.size(), kNone, check_);
  assign_checked(s_.tag_list, n, kNone, check_);
  std::vector<Pos>& counts = s_.slot_tag;
  counts.clear();
  for (Pos t = 0; t < n; ++t) {
    check_every_tags(check_, t);
    Pos& list = parent[t] == kNone ? root_list[s_.tags[t].name]
                                   : s_.children_list[attribute_rank(parent[t])];
    if (list == kNone) {
      list = static_cast<Pos>(s_.lists.size());
      push_checked(s_.lists, IndexStorage::List{0, 0, parent[t]}, check_);
      push_checked(counts, Pos{0}, check_);
    }
    s_.tag_list[t] = list;
    ++counts[list];
  }
  Pos offset = 0;
  for (std::size_t l = 0; l < s_.lists.size(); ++l) {
    check_every_tags(check_, l);
    s_.lists[l].begin = s_.lists[l].end = offset;
    offset += counts[l];
  }
  assign_checked(s_.slot_tag, n, Pos{0}, check_);
  assign_checked(s_.sum, n, 0, check_);
  assign_checked(s_.tag_slot, n, Pos{0}, check_);
  for (Pos t = 0; t < n; ++t) {
    check_every_tags(check_, t);
    IndexStorage::List& list = s_.lists[s_.tag_list[t]];
    const Pos slot = list.end++;
    s_.slot_tag[slot] = t;
    s_.tag_slot[t] = slot;
    const std::int32_t step = s_.tags[t].closing ? -1 : 1;
    s_.sum[slot] = (slot == list.begin ? 0 : s_.sum[slot - 1]) + step;
  }
  // Next slot of the same list with a smaller prefix sum: where an element
  // opened at this slot closes, when nothing else gets in the way.
  assign_checked(s_.next_lower, n, kNone, check_);
  std::vector<Pos>& st = s_.open;
  for (const IndexStorage::List& list : s_.lists) {
    st.clear();
    for (Pos s = list.begin; s < list.end; ++s) {
      check_every_tags(check_, s);
      while (!st.empty() && s_.sum[s] < s_.sum[st.back()]) {
        s_.next_lower[st.back()] = s;
        st.pop_back();
      }
      push_checked(st, s, check_);
    }
  }
  st.clear();
}

template <class CharT>
void MarkupIndex<CharT>::build_min_tree(const Checkpoint& check) const {
  // Two slots per tag rounded up to a power of two: up to 16 bytes a tag,
  // as long to fill as the forests themselves. `min_leaves` is set last,
  // so a build that a check ends is not taken for a table.
  std::size_t leaves = 1;
  while (leaves < s_.sum.size()) leaves *= 2;
  std::vector<std::int32_t>& tree = s_.min_tree;
  assign_checked(tree, 2 * leaves, INT32_MAX, check);
  for (std::size_t i = 0; i < s_.sum.size(); ++i) {
    tree[leaves + i] = s_.sum[i];
    check_every_tags(check, i);
  }
  for (std::size_t i = leaves - 1; i >= 1; --i) {
    tree[i] = std::min(tree[2 * i], tree[2 * i + 1]);
    check_every_tags(check, i);
  }
  s_.min_leaves = static_cast<Pos>(leaves);
}

template <class CharT>
Pos MarkupIndex<CharT>::first_at_or_below(Pos from, Pos limit, std::int32_t target, const Checkpoint& check) const {
  if (from >= limit) return kNone;
  if (s_.min_leaves == 0) build_min_tree(check);
  auto descend = [&](std::size_t node) {
    while (node < s_.min_leaves) {
      node *= 2;
      if (s_.min_tree[node] > target) ++node;
    }
    return static_cast<Pos>(node - s_.min_leaves);
  };
  std::size_t l = from + s_.min_leaves, r = limit + s_.min_leaves;
  std::size_t rights[64];
  int nr = 0;
  while (l < r) {
    if (l & 1) {
      if (s_.min_tree[l] <= target) return descend(l);
      ++l;
    }
    if (r & 1) rights[nr++] = --r;
    l >>= 1;
    r >>= 1;
  }
  while (nr > 0) {
    const std::size_t node = rights[--nr];
    if (s_.min_tree[node] <= target) return descend(node);
  }
  return kNone;
}

template <class CharT>
std::optional<std::size_t> MarkupIndex<CharT>::forest_close(std::size_t tag, Pos end, const Checkpoint& check) const {
  std::int32_t depth = 1;
  Pos list = s_.tag_list[tag];
  Pos base_slot = s_.tag_slot[tag];  // the slot the walk stands on, or kNone before a list's first
  std::int32_t base = s_.sum[base_slot];
  Pos from = base_slot + 1;
  bool climbing = true;
  // The usual case: the next lower slot of the same list closes the element.
  // Every sibling before it ends before it does, so none can reach past the
  // buffer when it does not.
  if (const Pos next = s_.next_lower[base_slot]; next != kNone && s_.tags[s_.slot_tag[next]].close < end)
    return s_.slot_tag[next];
  for (;;) {
    const IndexStorage::List& l = s_.lists[list];
    // Siblings from here on that start inside the buffer; the last of them
    // may reach past its end, and then does not count.
    Pos hi = l.end;
    if (from < l.end && s_.tags[s_.slot_tag[l.end - 1]].start >= end) {
      hi = static_cast<Pos>(std::lower_bound(s_.slot_tag.begin() + from, s_.slot_tag.begin() + l.end, end,
                                             [this](Pos t, Pos e) { return s_.tags[t].start < e; }) -
                            s_.slot_tag.begin());
    }
    Pos limit = hi;
    Pos crossing = kNone;
    if (hi > from && s_.tags[s_.slot_tag[hi - 1]].close >= end) crossing = limit = hi - 1;

    const std::int32_t target = base - depth;
    Pos found = kNone;
    if (depth == 1 && base_slot != kNone) {
      found = s_.next_lower[base_slot];
    } else {
      found = first_at_or_below(from, limit, target, check);
    }
    if (found != kNone && found < limit) return s_.slot_tag[found];
    if (limit > from) depth += s_.sum[limit - 1] - base;

    if (crossing != kNone) {
      // The buffer ends inside this tag: its insides are ordinary content.
      climbing = false;
      const Pos rank = attribute_rank(s_.slot_tag[crossing]);
      if (rank == kNone) return std::nullopt;
      list = s_.children_list[rank];
      if (list == kNone) return std::nullopt;
      base_slot = kNone;
      base = 0;
      from = s_.lists[list].begin;
      continue;
    }
    if (hi < l.end || !climbing || l.parent == kNone) return std::nullopt;
    // The walk started inside an enclosing tag of the same name (its quoted
    // value): past that tag's end it goes on among the tag's own siblings.
    const Pos p = l.parent;
    if (s_.tags[p].close >= end) return std::nullopt;
    list = s_.tag_list[p];
    base_slot = s_.tag_slot[p];
    base = s_.sum[base_slot];
    from = base_slot + 1;
  }
}

#define QUILLET_MARKUP_INDEX(CharT)                                                                     \
  template class MarkupIndex<CharT>;                                                                    \
  template bool has_repeated_key<CharT>(const CharT*, const Attribute*, std::size_t, std::vector<Pos>&, \
                                        const Checkpoint&);
QUILLET_MARKUP_INDEX(std::uint8_t)
QUILLET_MARKUP_INDEX(std::uint16_t)
QUILLET_MARKUP_INDEX(std::uint32_t)
QUILLET_MARKUP_INDEX(char32_t)
#undef QUILLET_MARKUP_INDEX

}  // namespace quillet::fast
