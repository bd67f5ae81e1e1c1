// Matcher: the passes over the index that match a program.
#include "select/match.hpp"

#include <algorithm>

#include "select/text.hpp"

namespace quillet::select {
namespace {

constexpr std::uint32_t kAny = kNone - 1;  // a compound without a type selector

}  // namespace

Matcher::Matcher(const Program& program, const TreeIndex& index, const char* who)
    : p_(program), ix_(index), n_(index.size()), who_(who), values_(who) {}

Where Matcher::where(std::uint32_t e) const { return Where{e, ix_.tags[ix_.nodes[e].tag].get()}; }

bool Matcher::run(Bits& matched) {
  tag_of_.assign(p_.compounds, kAny);
  lists_.assign(p_.lists.size(), Bits());
  last_use_.assign(p_.lists.size(), 0);
  of_before_.resize(p_.lists.size());
  of_total_.resize(p_.lists.size());
  std::vector<std::uint8_t> counted(p_.lists.size(), 0);  // read by an `of S`
  for (std::size_t l = 0; l < p_.lists.size(); ++l) {
    for (const Complex& c : p_.lists[l].items) {
      for (const Part& part : c.parts) {
        if (part.compound.tag) tag_of_[part.compound.serial] = ix_.tag_number(part.compound.tag.get());
        for (const Test& t : part.compound.tests) {
          if (t.list < 0) continue;
          last_use_[static_cast<std::size_t>(t.list)] = l;
          if (t.kind == Kind::kNth) counted[static_cast<std::size_t>(t.list)] = 1;
        }
      }
    }
  }
  // A list is let go once the last list that reads it is matched.
  std::vector<std::vector<std::size_t>> done_after(p_.lists.size());
  for (std::size_t k = 0; k + 1 < p_.lists.size(); ++k) {
    if (last_use_[k] > k) done_after[last_use_[k]].push_back(k);
  }
  if (!fits_in_memory(p_, who_, bytes_per_element(counted, done_after), "element", n_)) return false;
  for (std::size_t l = 0; l < p_.lists.size(); ++l) {
    if (!list(l)) return false;
    for (std::size_t k : done_after[l]) {
      Bits().swap(lists_[k]);
      std::vector<std::uint32_t>().swap(of_before_[k]);
      std::vector<std::uint32_t>().swap(of_total_[k]);
    }
  }
  matched.swap(lists_.back());
  return true;
}

// What run takes for each element at most: the lists matched and not yet
// let go (with the counts of an `of S`), the arrays of the list being
// matched, and the positions and languages the tests read.
std::size_t Matcher::bytes_per_element(const std::vector<std::uint8_t>& counted,
                                       const std::vector<std::vector<std::size_t>>& done_after) const {
  constexpr std::size_t kCounts = 2 * sizeof(std::uint32_t);  // of_before_ and of_total_
  constexpr std::size_t kWorking = 4;  // a list's result, its passes' and what forwards makes
  std::size_t fixed = 0;
  bool child = false, type = false, lang = false;
  for (const SelectorList& s : p_.lists) {
    for (const Complex& c : s.items) {
      for (const Part& part : c.parts) {
        for (const Test& t : part.compound.tests) {
          child |= t.kind == Kind::kNth && t.list < 0 && !t.of_type;
          type |= t.kind == Kind::kNth && t.of_type;
          lang |= t.kind == Kind::kLang;
        }
      }
    }
  }
  if (child) fixed += 2 * sizeof(std::uint32_t);                     // child_pos_, child_count_
  if (type) fixed += 3 * sizeof(std::uint32_t);                      // type_pos_, type_last_, and
                                                                     // the first children
  if (lang) fixed += sizeof(std::uint32_t) + sizeof(PyRef);          // lang_of_, languages_
  std::size_t held = 0, most = 0;
  for (std::size_t l = 0; l < p_.lists.size(); ++l) {
    most = std::max(most, held + kWorking);
    held += 1 + (counted[l] ? kCounts : 0);
    for (std::size_t k : done_after[l]) held -= 1 + (counted[k] ? kCounts : 0);
  }
  return fixed + most;
}

bool Matcher::list(std::size_t l) {
  const SelectorList& s = p_.lists[l];
  Bits out(n_, 0);
  for (const Complex& c : s.items) {
    if (!(s.relative ? relative(c, out) : complex(c, out))) return false;
  }
  lists_[l].swap(out);
  return true;
}

// Left to right: cur[e] says that the compounds so far match, the last at e.
bool Matcher::complex(const Complex& c, Bits& out) {
  Bits cur(n_, 0);
  for (std::size_t j = 0; j < c.parts.size(); ++j) {
    Bits reach;
    if (j > 0) reach = forwards(c.parts[j].comb, cur);
    for (std::uint32_t e = 0; e < n_; ++e) {
      if (!clock_.tick()) return false;
      if (j > 0 && !reach[e]) {
        cur[e] = 0;
        continue;
      }
      const int r = compound(c.parts[j].compound, e);
      if (r < 0) return false;
      cur[e] = static_cast<std::uint8_t>(r);
    }
  }
  for (std::uint32_t e = 0; e < n_; ++e) out[e] |= cur[e];
  return true;
}

// Right to left: h[e] says that the compounds from here on match, this one
// at e; the first combinator then relates them to the element asked about.
bool Matcher::relative(const Complex& c, Bits& out) {
  Bits h(n_, 0);
  for (std::size_t j = c.parts.size(); j-- > 0;) {
    Bits reach;
    const bool last = j + 1 == c.parts.size();
    if (!last) reach = backwards(c.parts[j + 1].comb, h);
    for (std::uint32_t e = 0; e < n_; ++e) {
      if (!clock_.tick()) return false;
      if (!last && !reach[e]) {
        h[e] = 0;
        continue;
      }
      const int r = compound(c.parts[j].compound, e);
      if (r < 0) return false;
      h[e] = static_cast<std::uint8_t>(r);
    }
  }
  const Bits has = backwards(c.parts[0].comb, h);
  for (std::uint32_t e = 0; e < n_; ++e) out[e] |= has[e];
  return true;
}

// r[e]: an element that m holds stands before e as the combinator says
// (an ancestor, the parent, the sibling just before, a sibling before).
Bits Matcher::forwards(Comb comb, const Bits& m) {
  Bits r(n_, 0);
  for (std::uint32_t e = 0; e < n_; ++e) {
    const std::uint32_t p = ix_.nodes[e].parent, q = ix_.nodes[e].prev;
    switch (comb) {
      case Comb::kDescendant:
        r[e] = p != kNone && (m[p] | r[p]);
        break;
      case Comb::kChild:
        r[e] = p != kNone && m[p];
        break;
      case Comb::kNext:
        r[e] = q != kNone && m[q];
        break;
      case Comb::kLater:
        r[e] = q != kNone && (m[q] | r[q]);
        break;
      case Comb::kNone:
        break;
    }
  }
  return r;
}

// r[e]: an element that m holds stands after e as the combinator says (a
// descendant, a child, the sibling just after, a sibling after).
Bits Matcher::backwards(Comb comb, const Bits& m) {
  Bits r(n_, 0);
  for (std::uint32_t e = n_; e-- > 0;) {
    const std::uint32_t p = ix_.nodes[e].parent, x = ix_.nodes[e].next;
    switch (comb) {
      case Comb::kDescendant:
        if (p != kNone && (m[e] | r[e])) r[p] = 1;
        break;
      case Comb::kChild:
        if (p != kNone && m[e]) r[p] = 1;
        break;
      case Comb::kNext:
        r[e] = x != kNone && m[x];
        break;
      case Comb::kLater:
        r[e] = x != kNone && (m[x] | r[x]);
        break;
      case Comb::kNone:
        break;
    }
  }
  return r;
}

int Matcher::compound(const Compound& c, std::uint32_t e) {
  const std::uint32_t tag = tag_of_[c.serial];
  if (tag != kAny && tag != ix_.nodes[e].tag) return 0;
  for (const Test& t : c.tests) {
    const int r = test(t, e);
    if (r <= 0) return r;
  }
  return 1;
}

int Matcher::test(const Test& t, std::uint32_t e) {
  switch (t.kind) {
    case Kind::kId:
    case Kind::kClass:
      return values_.id_or_class(t, ix_.elements[e].get(), where(e));
    case Kind::kAttr:
      return values_.attribute(t, ix_.elements[e].get(), where(e));
    case Kind::kRoot:
      return ix_.nodes[e].parent == kNone;
    case Kind::kEmpty:
      return !ix_.nodes[e].has_child && !ix_.nodes[e].text;
    case Kind::kNth:
      return nth(t, e);
    case Kind::kIs:
    case Kind::kHas:
      return lists_[static_cast<std::size_t>(t.list)][e];
    case Kind::kNot:
      return !lists_[static_cast<std::size_t>(t.list)][e];
    case Kind::kLang:
      return lang(t, e);
    case Kind::kNever:
      return 0;
  }
  return 0;
}

void Matcher::count_children() {
  child_pos_.assign(n_, 0);
  child_count_.assign(n_ + 1, 0);
  for (std::uint32_t e = 0; e < n_; ++e) {
    child_pos_[e] = ix_.nodes[e].prev == kNone ? 1 : child_pos_[ix_.nodes[e].prev] + 1;
    child_count_[ix_.up(e)] = child_pos_[e];
  }
}

void Matcher::count_types() {
  type_pos_.assign(n_, 0);
  type_last_.assign(n_, 0);
  std::vector<std::uint32_t> seen(ix_.tags.size(), 0);
  std::vector<std::uint32_t> first_child(n_ + 1, kNone);  // by parent (up())
  for (std::uint32_t e = 0; e < n_; ++e) {
    if (ix_.nodes[e].prev == kNone) first_child[ix_.up(e)] = e;
  }
  for (std::uint32_t p = 0; p <= n_; ++p) {
    const std::uint32_t first = first_child[p];
    for (std::uint32_t c = first; c != kNone; c = ix_.nodes[c].next) type_pos_[c] = ++seen[ix_.nodes[c].tag];
    for (std::uint32_t c = first; c != kNone; c = ix_.nodes[c].next) {
      type_last_[c] = seen[ix_.nodes[c].tag] - type_pos_[c] + 1;
    }
    for (std::uint32_t c = first; c != kNone; c = ix_.nodes[c].next) seen[ix_.nodes[c].tag] = 0;
  }
}

void Matcher::count_of(std::size_t list) {
  const Bits& s = lists_[list];
  std::vector<std::uint32_t>& before = of_before_[list];
  std::vector<std::uint32_t>& total = of_total_[list];
  before.assign(n_, 0);
  total.assign(n_ + 1, 0);
  for (std::uint32_t e = 0; e < n_; ++e) {
    const std::uint32_t q = ix_.nodes[e].prev;
    before[e] = q == kNone ? 0 : before[q] + s[q];
    total[ix_.up(e)] += s[e];
  }
}

int Matcher::nth(const Test& t, std::uint32_t e) {
  std::int64_t pos;
  if (t.list >= 0) {
    const auto list = static_cast<std::size_t>(t.list);
    if (!lists_[list][e]) return 0;
    if (of_total_[list].empty()) count_of(list);
    const std::uint32_t before = of_before_[list][e];
    pos = t.from_end ? of_total_[list][ix_.up(e)] - before : before + 1;
  } else if (t.of_type) {
    if (type_pos_.empty()) count_types();
    pos = t.from_end ? type_last_[e] : type_pos_[e];
  } else {
    if (child_pos_.empty()) count_children();
    pos = t.from_end ? child_count_[ix_.up(e)] - child_pos_[e] + 1 : child_pos_[e];
  }
  return picks(t.a, t.b, pos);
}

// The language of an element is the "lang" of the nearest element, itself
// or an ancestor, that has one; read once for all elements and all tests.
int Matcher::lang(const Test& t, std::uint32_t e) {
  if (!lang_done_) {
    lang_of_.assign(n_, kNone);
    for (std::uint32_t x = 0; x < n_; ++x) {
      if (!clock_.tick()) return -1;
      PyRef own;
      const int found = values_.own_language(ix_.elements[x].get(), where(x), own);
      if (found < 0) return -1;
      const std::uint32_t p = ix_.nodes[x].parent;
      if (found) {
        lang_of_[x] = static_cast<std::uint32_t>(languages_.size());
        languages_.push_back(std::move(own));
      } else if (p != kNone) {
        lang_of_[x] = lang_of_[p];
      }
    }
    lang_done_ = true;
  }
  const std::uint32_t at = lang_of_[e];
  return at != kNone && in_ranges(t, languages_[at].get());
}

}  // namespace quillet::select
