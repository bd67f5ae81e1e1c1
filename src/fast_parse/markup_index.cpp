// MarkupIndex: bracket matching, tag reading, name interning, and the
// per-name forests that turn the search for a closing tag into lookups.
#include "fast_parse/markup_index.hpp"

#include <algorithm>
#include <cstring>

namespace quillet::fast {
namespace {

template <class CharT>
bool same_chars(const CharT* text, Span a, Span b) {
  return a.size() == b.size() && std::memcmp(text + a.begin, text + b.begin, a.size() * sizeof(CharT)) == 0;
}

// The first position at or after `i` holding "<" or ">", or `size`. Whole
// blocks are tested without an early exit so the compiler can vectorise them;
// most of a document is text between tags.
template <class CharT>
Pos skip_to_bracket(const CharT* text, Pos i, Pos size) {
  constexpr Pos kBlock = 32;
  while (size - i >= kBlock) {
    const CharT* block = text + i;
    CharT hit = 0;  // of the character type: a bool or int accumulator defeats vectorisation
    for (Pos k = 0; k < kBlock; ++k) {
      const CharT c = block[k];
      hit |= static_cast<CharT>(c == static_cast<CharT>('<')) | static_cast<CharT>(c == static_cast<CharT>('>'));
    }
    if (hit) break;
    i += kBlock;
  }
  while (i < size && text[i] != '<' && text[i] != '>') ++i;
  return i;
}

template <class CharT>
bool less_chars(const CharT* text, Span a, Span b) {
  return std::lexicographical_compare(text + a.begin, text + a.end, text + b.begin, text + b.end);
}

}  // namespace

template <class CharT>
MarkupIndex<CharT>::MarkupIndex(const CharT* text, Pos size) : text_(text), size_(size) {
  // Bracket matching: a ">" closes the most recent open "<". Only matched
  // pairs are kept (a flood of unmatched "<" costs just the stack); they come
  // out in the order of their ">", which is text order unless brackets nest.
  std::vector<Span> brackets;
  {
    std::vector<Pos> open;
    for (Pos i = 0; i < size; ++i) {
      i = skip_to_bracket(text, i, size);
      if (i == size) break;
      if (text[i] == '<') {
        open.push_back(i);
      } else if (!open.empty()) {
        brackets.push_back(Span{open.back(), i});
        open.pop_back();
      }
    }
  }
  auto by_start = [](const Span& a, const Span& b) { return a.begin < b.begin; };
  if (!std::is_sorted(brackets.begin(), brackets.end(), by_start))
    std::sort(brackets.begin(), brackets.end(), by_start);

  // Keep the tags that read as valid.
  tags_.reserve(brackets.size());
  for (const Span& b : brackets) {
    Tag parsed;
    if (parse_tag(b.begin, b.end, parsed, nullptr)) tags_.push_back(parsed);
  }
  std::vector<Span>().swap(brackets);
  tags_.shrink_to_fit();
  build_forests();
}

template <class CharT>
bool MarkupIndex<CharT>::parse_tag(Pos start, Pos close, Tag& out, std::vector<Attribute>* attributes) const {
  const CharT* t = text_;
  Pos i = start + 1;
  const Pos end = close;
  if (i == end) return false;  // "<>"
  const bool closing = t[i] == '/';
  if (closing) ++i;
  while (i < end && is_space(t[i])) ++i;
  const Pos name_begin = i;
  while (i < end && is_name_char(t[i])) ++i;
  if (i == name_begin) return false;
  const Span name{name_begin, i};

  // Attributes: space, key, space, "=", space, a double-quoted value without
  // escapes. The first attempt that does not read as one ends the list.
  Attribute small[8];
  std::vector<Attribute> many;
  std::size_t count = 0;
  for (;;) {
    Pos k = i;
    while (k < end && is_space(t[k])) ++k;
    const Pos key_begin = k;
    while (k < end && is_name_char(t[k])) ++k;
    if (k == key_begin) break;
    const Span key{key_begin, k};
    while (k < end && is_space(t[k])) ++k;
    if (k == end || t[k] != '=') break;
    ++k;
    while (k < end && is_space(t[k])) ++k;
    if (k == end || t[k] != '"') break;
    const Pos value_begin = ++k;
    while (k < end && t[k] != '"') ++k;
    if (k == end) break;
    const Attribute a{key, Span{value_begin, k}};
    i = k + 1;
    if (count < 8) {
      small[count] = a;
    } else {
      if (count == 8) many.assign(small, small + 8);
      many.push_back(a);
    }
    ++count;
  }
  if (count > 0 && closing) return false;
  while (i < end && is_space(t[i])) ++i;
  const bool self_closing = i < end && t[i] == '/';
  if (self_closing) {
    if (closing) return false;
    ++i;
  }
  if (i != end) return false;

  // A repeated key spoils the whole tag. Reading the attributes of a tag that
  // was indexed as valid needs no second check.
  if (attributes) {
    // already known to be valid
  } else if (count <= 8) {
    for (std::size_t a = 1; a < count; ++a)
      for (std::size_t b = 0; b < a; ++b)
        if (same_chars(t, small[a].key, small[b].key)) return false;
  } else {
    std::vector<Span> keys;
    keys.reserve(count);
    for (const Attribute& a : many) keys.push_back(a.key);
    std::sort(keys.begin(), keys.end(), [t](Span a, Span b) { return less_chars(t, a, b); });
    for (std::size_t a = 1; a < keys.size(); ++a)
      if (same_chars(t, keys[a - 1], keys[a])) return false;
  }

  if (attributes) {
    attributes->clear();
    if (count <= 8) {
      attributes->assign(small, small + count);
    } else {
      *attributes = std::move(many);
    }
  }
  out = Tag{start, close, 0, closing, self_closing};
  // Reading attributes again (const) needs no name id: it is known already.
  if (!attributes) out.name = const_cast<MarkupIndex*>(this)->intern(name);
  return true;
}

template <class CharT>
std::uint32_t MarkupIndex<CharT>::intern(Span name) {
  if (name_table_.empty() || (name_spans_.size() + 1) * 2 > name_table_.size()) {
    const std::size_t cap = name_table_.empty() ? 64 : name_table_.size() * 2;
    name_table_.assign(cap, kNone);
    for (std::uint32_t id = 0; id < name_spans_.size(); ++id) {
      std::size_t j = name_hashes_[id] & (cap - 1);
      while (name_table_[j] != kNone) j = (j + 1) & (cap - 1);
      name_table_[j] = id;
    }
  }
  const std::uint64_t h = hash_chars(text_, name);
  const std::size_t mask = name_table_.size() - 1;
  for (std::size_t j = h & mask;; j = (j + 1) & mask) {
    const std::uint32_t id = name_table_[j];
    if (id == kNone) {
      const auto fresh = static_cast<std::uint32_t>(name_spans_.size());
      name_table_[j] = fresh;
      name_spans_.push_back(name);
      name_hashes_.push_back(h);
      return fresh;
    }
    if (name_hashes_[id] == h && same_chars(text_, name_spans_[id], name)) return id;
  }
}

template <class CharT>
void MarkupIndex<CharT>::read_attributes(const Tag& tag, std::vector<Attribute>& out) const {
  Tag ignored;
  parse_tag(tag.start, tag.close, ignored, &out);
}

template <class CharT>
std::size_t MarkupIndex<CharT>::first_tag_at_or_after(Pos pos, std::size_t hint) const {
  // Content starts right after its opening tag, so the answer is usually the
  // tag after the hint; tags inside the opening tag's quoted values are rare.
  for (std::size_t i = hint, steps = 0; i < tags_.size() && steps < 8; ++i, ++steps)
    if (tags_[i].start >= pos && (i == 0 || tags_[i - 1].start < pos)) return i;
  return static_cast<std::size_t>(
      std::lower_bound(tags_.begin(), tags_.end(), pos, [](const Tag& t, Pos p) { return t.start < p; }) -
      tags_.begin());
}

template <class CharT>
void MarkupIndex<CharT>::build_forests() {
  const std::size_t n = tags_.size();
  const std::size_t names = name_spans_.size();
  // Nearest enclosing tag of the same name, by one stack per name; extents
  // nest, so a tag that ended before this one starts is closed for good.
  std::vector<Pos> parent(n, kNone);
  {
    std::vector<std::vector<Pos>> stacks(names);
    for (Pos t = 0; t < n; ++t) {
      auto& st = stacks[tags_[t].name];
      while (!st.empty() && tags_[st.back()].close < tags_[t].start) st.pop_back();
      if (!st.empty()) parent[t] = st.back();
      st.push_back(t);
    }
  }
  // One list for the roots of each name, one for the children of each tag
  // that has any; lists are laid out one after another.
  std::vector<Pos> root_list(names, kNone);
  children_list_.assign(n, kNone);
  tag_list_.assign(n, kNone);
  std::vector<Pos> counts;
  for (Pos t = 0; t < n; ++t) {
    Pos& list = parent[t] == kNone ? root_list[tags_[t].name] : children_list_[parent[t]];
    if (list == kNone) {
      list = static_cast<Pos>(lists_.size());
      lists_.push_back(List{0, 0, parent[t]});
      counts.push_back(0);
    }
    tag_list_[t] = list;
    ++counts[list];
  }
  Pos offset = 0;
  for (std::size_t l = 0; l < lists_.size(); ++l) {
    lists_[l].begin = lists_[l].end = offset;
    offset += counts[l];
  }
  slot_tag_.assign(n, 0);
  sum_.assign(n, 0);
  tag_slot_.assign(n, 0);
  for (Pos t = 0; t < n; ++t) {
    List& list = lists_[tag_list_[t]];
    const Pos slot = list.end++;
    slot_tag_[slot] = t;
    tag_slot_[t] = slot;
    const std::int32_t step = tags_[t].closing ? -1 : 1;
    sum_[slot] = (slot == list.begin ? 0 : sum_[slot - 1]) + step;
  }
  // Next slot of the same list with a smaller prefix sum: where an element
  // opened at this slot closes, when nothing else gets in the way.
  next_lower_.assign(n, kNone);
  std::vector<Pos> st;
  for (const List& list : lists_) {
    st.clear();
    for (Pos s = list.begin; s < list.end; ++s) {
      while (!st.empty() && sum_[s] < sum_[st.back()]) {
        next_lower_[st.back()] = s;
        st.pop_back();
      }
      st.push_back(s);
    }
  }
}

template <class CharT>
void MarkupIndex<CharT>::build_min_tree() const {
  min_leaves_ = 1;
  while (min_leaves_ < sum_.size()) min_leaves_ *= 2;
  min_tree_.assign(2 * static_cast<std::size_t>(min_leaves_), INT32_MAX);
  std::copy(sum_.begin(), sum_.end(), min_tree_.begin() + min_leaves_);
  for (Pos i = min_leaves_ - 1; i >= 1; --i) min_tree_[i] = std::min(min_tree_[2 * i], min_tree_[2 * i + 1]);
}

template <class CharT>
Pos MarkupIndex<CharT>::first_at_or_below(Pos from, Pos limit, std::int32_t target) const {
  if (from >= limit) return kNone;
  if (min_tree_.empty()) build_min_tree();
  auto descend = [&](std::size_t node) {
    while (node < min_leaves_) {
      node *= 2;
      if (min_tree_[node] > target) ++node;
    }
    return static_cast<Pos>(node - min_leaves_);
  };
  std::size_t l = from + min_leaves_, r = limit + min_leaves_;
  std::size_t rights[64];
  int nr = 0;
  while (l < r) {
    if (l & 1) {
      if (min_tree_[l] <= target) return descend(l);
      ++l;
    }
    if (r & 1) rights[nr++] = --r;
    l >>= 1;
    r >>= 1;
  }
  while (nr > 0) {
    const std::size_t node = rights[--nr];
    if (min_tree_[node] <= target) return descend(node);
  }
  return kNone;
}

template <class CharT>
std::optional<std::size_t> MarkupIndex<CharT>::element_close(std::size_t tag, Pos end) const {
  std::int32_t depth = 1;
  Pos list = tag_list_[tag];
  Pos base_slot = tag_slot_[tag];  // the slot the walk stands on, or kNone before a list's first
  std::int32_t base = sum_[base_slot];
  Pos from = base_slot + 1;
  bool climbing = true;
  // The usual case: the next lower slot of the same list closes the element.
  // Every sibling before it ends before it does, so none can reach past the
  // buffer when it does not.
  if (const Pos next = next_lower_[base_slot]; next != kNone && tags_[slot_tag_[next]].close < end)
    return slot_tag_[next];
  for (;;) {
    const List& l = lists_[list];
    // Siblings from here on that start inside the buffer; the last of them
    // may reach past its end, and then does not count.
    Pos hi = l.end;
    if (from < l.end && tags_[slot_tag_[l.end - 1]].start >= end) {
      hi = static_cast<Pos>(std::lower_bound(slot_tag_.begin() + from, slot_tag_.begin() + l.end, end,
                                             [this](Pos t, Pos e) { return tags_[t].start < e; }) -
                            slot_tag_.begin());
    }
    Pos limit = hi;
    Pos crossing = kNone;
    if (hi > from && tags_[slot_tag_[hi - 1]].close >= end) crossing = limit = hi - 1;

    const std::int32_t target = base - depth;
    Pos found = kNone;
    if (depth == 1 && base_slot != kNone) {
      found = next_lower_[base_slot];
    } else {
      found = first_at_or_below(from, limit, target);
    }
    if (found != kNone && found < limit) return slot_tag_[found];
    if (limit > from) depth += sum_[limit - 1] - base;

    if (crossing != kNone) {
      // The buffer ends inside this tag: its insides are ordinary content.
      climbing = false;
      list = children_list_[slot_tag_[crossing]];
      if (list == kNone) return std::nullopt;
      base_slot = kNone;
      base = 0;
      from = lists_[list].begin;
      continue;
    }
    if (hi < l.end || !climbing || l.parent == kNone) return std::nullopt;
    // The walk started inside an enclosing tag of the same name (its quoted
    // value): past that tag's end it goes on among the tag's own siblings.
    const Pos p = l.parent;
    if (tags_[p].close >= end) return std::nullopt;
    list = tag_list_[p];
    base_slot = tag_slot_[p];
    base = sum_[base_slot];
    from = base_slot + 1;
  }
}

template class MarkupIndex<std::uint8_t>;
template class MarkupIndex<std::uint16_t>;
template class MarkupIndex<std::uint32_t>;
template class MarkupIndex<char32_t>;

}  // namespace quillet::fast
