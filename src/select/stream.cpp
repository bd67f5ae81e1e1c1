// stream_select: a visitor of walk_nodes that matches each element as it
// enters it.
//
// For every compound selector of the program (a "slot") each element gets a
// state byte: kMatched when the compound selectors of its complex selector
// up to this one match with this one at the element, kAbove when an
// ancestor's state has kMatched, kBefore when an earlier sibling's has. An
// element's states come from its parent's (kept for each open element) and
// its previous sibling's (kept as the last child of each open element), so a
// combinator is one read of a byte.
#include "select/stream.hpp"

#include <cstdint>
#include <unordered_set>
#include <vector>

#include "python/py_failure.hpp"
#include "python/py_ref.hpp"
#include "python/py_state.hpp"
#include "select/text.hpp"
#include "select/values.hpp"
#include "tree/walk.hpp"

namespace quillet::select {
namespace {

constexpr std::uint8_t kMatched = 1, kAbove = 2, kBefore = 4;


struct Slot {
  const Compound* compound;
  Comb comb;         // to the slot before, in the same complex selector
  bool first;        // the complex selector's first compound
  bool last;         // its last: the list matches where this one does
  std::size_t list;
};

class Streamer {
 public:
  Streamer(const Program& p, bool first) : p_(p), first_(first), values_("select()") {
    for (std::size_t l = 0; l < p.lists.size(); ++l) {
      for (const Complex& c : p.lists[l].items) {
        for (std::size_t j = 0; j < c.parts.size(); ++j) {
          slots_.push_back(Slot{&c.parts[j].compound, c.parts[j].comb, j == 0,
                                j + 1 == c.parts.size(), l});
          for (const Test& t : c.parts[j].compound.tests) {
            if (t.kind == Kind::kNth && t.list >= 0) of_.push_back(&t);
            if (t.kind == Kind::kLang) langs_.push_back(&t);
          }
        }
      }
    }
    slot_ = std::vector<std::size_t>(p.tests, 0);
    of_by_list_.resize(p.lists.size());
    for (std::size_t k = 0; k < of_.size(); ++k) {
      slot_[of_[k]->serial] = k;
      of_by_list_[static_cast<std::size_t>(of_[k]->list)].push_back(k);
    }
    for (std::size_t k = 0; k < langs_.size(); ++k) slot_[langs_[k]->serial] = k;
    cur_.resize(slots_.size());
    matched_.resize(p.lists.size());
    of_pos_.resize(of_.size());
    lang_cur_.resize(langs_.size());
    push(nullptr);  // the tree's own level: no element, no states
    if (!first_) out_ = PyRef(PyList_New(0));
  }

  // The result so far: the list, or the first match (None when there is none).
  PyObject* result() {
    if (!first_) return out_.release();
    return found_ ? found_.release() : PyRef::borrow(Py_None).release();
  }
  bool ready() const { return first_ || out_; }
  bool stopped() const { return stopped_; }

  // Names where a node of the wrong type stood, when that ended the walk.
  void place_error() {
    const Level& open = levels_[depth_ - 1];
    if (!open.tag) return place_node_error("select()", nullptr);
    const Where parent{open.number, open.tag.get()};
    place_node_error("select()", &parent);
  }

  bool text(PyObject*) { return true; }

  int enter(PyObject* element, PyRef& children, PyRef&) {
    if (!clock_.tick(slots_.size() / 64)) return -1;
    const std::size_t d = depth_ - 1;  // the parent's level
    PyRef tag;
    if (!tag_of(element, number_, "select()", tag)) return -1;
    const Where where{number_++, tag.get()};
    Level& level = levels_[d];
    ++level.children;
    for (std::size_t k = 0; k < langs_.size(); ++k) {
      const int own = values_.own_language(*langs_[k], element, where);
      if (own < 0) return -1;
      lang_cur_[k] = own == 2 ? lang_at(d)[k] : static_cast<std::uint8_t>(own);
    }
    if (match(element, tag.get(), where, d) < 0) return -1;
    // This element is now the last child of its parent.
    std::uint8_t* last = last_at(d);
    for (std::size_t s = 0; s < cur_.size(); ++s) last[s] = cur_[s];
    level.has_last = true;
    if (matched_.back() && !add(element)) return -1;
    if (stopped_) return -1;
    const int descend = tree::children_of(element, children);
    if (descend > 0) {
      push(element);
      levels_[depth_ - 1].number = where.number;
      levels_[depth_ - 1].tag = std::move(tag);
    }
    return descend;
  }

  bool leave(PyRef&) {
    pop();
    return true;
  }

 private:
  struct Level {
    std::uint32_t children = 0;  // the element children met so far
    bool has_last = false;
    std::uint32_t number = 0;    // the open element's, for error messages
    PyRef tag;                   // its tag; none for the tree's own level
  };

  // The states of the open element at level d, those of its last child so
  // far, its counts of children matching each `of S`, and its language.
  std::uint8_t* self_at(std::size_t d) { return self_.data() + d * slots_.size(); }
  std::uint8_t* last_at(std::size_t d) { return last_.data() + d * slots_.size(); }
  std::uint32_t* of_at(std::size_t d) { return of_counts_.data() + d * of_.size(); }
  std::uint8_t* lang_at(std::size_t d) { return lang_.data() + d * langs_.size(); }

  // Opens a level for the children of the element whose states are cur_
  // (nullptr: the tree's own level, with none).
  void push(PyObject* element) {
    const std::size_t d = depth_++;
    if (levels_.size() < depth_) {  // the arrays only ever grow
      levels_.emplace_back();
      self_.resize(depth_ * slots_.size());
      last_.resize(depth_ * slots_.size());
      of_counts_.resize(depth_ * of_.size());
      lang_.resize(depth_ * langs_.size());
    }
    levels_[d].children = 0;
    levels_[d].has_last = false;
    std::uint8_t* self = self_at(d);
    std::uint8_t* lang = lang_at(d);
    for (std::size_t s = 0; s < slots_.size(); ++s) self[s] = element ? cur_[s] : 0;
    for (std::size_t k = 0; k < langs_.size(); ++k) lang[k] = element ? lang_cur_[k] : 0;
    std::fill(of_at(d), of_at(d) + of_.size(), 0);
  }

  void pop() {
    levels_[--depth_].tag = PyRef();
  }

  // Fills cur_ and matched_ for the element entered at level d + 1.
  int match(PyObject* element, PyObject* tag, const Where& where, std::size_t d) {
    const std::uint8_t* up = self_at(d);
    const std::uint8_t* before = levels_[d].has_last ? last_at(d) : nullptr;
    std::fill(matched_.begin(), matched_.end(), 0);
    std::size_t list = 0;
    for (std::size_t s = 0; s < slots_.size(); ++s) {
      const Slot& slot = slots_[s];
      if (slot.list != list) counted(list), list = slot.list;
      std::uint8_t state = 0;
      if (up[s] & (kMatched | kAbove)) state |= kAbove;
      if (before && (before[s] & (kMatched | kBefore))) state |= kBefore;
      bool reached = slot.first;
      if (!reached) {
        const std::uint8_t u = up[s - 1], b = before ? before[s - 1] : 0;
        switch (slot.comb) {
          case Comb::kDescendant: reached = u & (kMatched | kAbove); break;
          case Comb::kChild: reached = u & kMatched; break;
          case Comb::kNext: reached = b & kMatched; break;
          case Comb::kLater: reached = b & (kMatched | kBefore); break;
          case Comb::kNone: break;
        }
      }
      if (reached) {
        const int r = compound(*slot.compound, element, tag, where, d);
        if (r < 0) return -1;
        if (r) {
          state |= kMatched;
          if (slot.last) matched_[slot.list] = 1;
        }
      }
      cur_[s] = state;
    }
    counted(list);
    return 0;
  }

  // After list l is matched at the element: the counts of `of S` for S = l.
  void counted(std::size_t l) {
    for (std::size_t k : of_by_list_[l]) {
      std::uint32_t& count = of_at(depth_ - 1)[k];
      of_pos_[k] = matched_[l] ? ++count : 0;
    }
  }

  int compound(const Compound& c, PyObject* element, PyObject* tag, const Where& where,
               std::size_t d) {
    if (c.tag && c.tag.get() != tag) {
      Text want, have;
      text_of(c.tag.get(), want);
      if (!text_of(tag, have)) return -1;
      if (!equals(have, want, false)) return 0;
    }
    for (const Test& t : c.tests) {
      int r = 0;
      switch (t.kind) {
        case Kind::kId:
        case Kind::kClass:
          r = values_.id_or_class(t, element, where);
          break;
        case Kind::kAttr:
          r = values_.attribute(t, element, where);
          break;
        case Kind::kRoot:
          r = d == 0;
          break;
        case Kind::kNth: {
          const std::int64_t pos = t.list >= 0 ? of_pos_[slot_[t.serial]] : levels_[d].children;
          r = pos > 0 && picks(t.a, t.b, pos);
          break;
        }
        case Kind::kIs:
          r = matched_[static_cast<std::size_t>(t.list)];
          break;
        case Kind::kNot:
          r = !matched_[static_cast<std::size_t>(t.list)];
          break;
        case Kind::kLang:
          r = lang_cur_[slot_[t.serial]];
          break;
        case Kind::kHas:
        case Kind::kEmpty:
        case Kind::kNever:
          r = 0;
          break;
      }
      if (r <= 0) return r;
    }
    return 1;
  }

  // Adds a match to the result; an element that stands at two places is
  // listed at the first.
  bool add(PyObject* element) {
    // walk_nodes holds the element while enter runs: a count above two means
    // another list (or the caller) holds it too.
    if (Py_REFCNT(element) > 2 && !listed_.insert(element).second) return true;
    if (first_) {
      found_ = PyRef::borrow(element);
      stopped_ = true;
      return true;
    }
    return PyList_Append(out_.get(), element) == 0;
  }

  const Program& p_;
  const bool first_;
  ValueReader values_;
  tree::SignalClock clock_;
  std::vector<Slot> slots_;
  std::vector<const Test*> of_;     // the :nth-child(An+B of S) tests
  std::vector<const Test*> langs_;  // the :lang() tests
  std::vector<std::size_t> slot_;   // by test: its place in of_ or langs_
  std::vector<std::vector<std::size_t>> of_by_list_;  // by list S: the of_ tests that count it
  std::vector<Level> levels_;       // by level: the tree's own, then each open element's
  std::size_t depth_ = 0;           // the levels in use
  std::vector<std::uint8_t> self_, last_, lang_;
  std::vector<std::uint32_t> of_counts_;
  // For the element being matched.
  std::vector<std::uint8_t> cur_;      // its states
  std::vector<std::uint8_t> matched_;  // by list: whether the list matches it
  std::vector<std::uint32_t> of_pos_;  // by of_: its position among the siblings matching S, or 0
  std::vector<std::uint8_t> lang_cur_; // by langs_: whether its language matches
  std::uint32_t number_ = 0;           // the next element's number in document order
  std::unordered_set<PyObject*> listed_;
  PyRef out_;
  PyRef found_;
  bool stopped_ = false;
};

}  // namespace

PyObject* stream_select(PyObject* tree, const Program& program, bool first) {
  Streamer streamer(program, first);
  if (!streamer.ready()) return nullptr;
  if (!tree::walk_nodes(tree, streamer, "select(): the tree holds itself (a list inside itself)") &&
      !(streamer.stopped() && !PyErr_Occurred())) {
    streamer.place_error();
    return nullptr;
  }
  return streamer.result();
}

}  // namespace quillet::select
