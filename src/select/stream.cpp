// stream_select: a visitor of walk_nodes that matches each element as it
// enters it.
//
// For every compound selector of the program (a "slot") the matcher finds
// whether the element entered holds it: whether the compounds of its complex
// selector up to this one match, this one at the element. The slot after
// asks that of other elements, as its combinator says, and what is kept for
// it depends on that combinator:
// - ` ` asks it of the ancestors: the slot keeps the level of the outermost
//   open element that holds it (the ones inside it add nothing), so any
//   depth costs one number a slot;
// - `>` asks it of the parent: each open element keeps a bit for the slot;
// - `+` and `~` ask it of the sibling before, or of any sibling before: each
//   open element keeps a bit for its children so far.
// Those bits, and the counts of :nth-child(An+B of S), are the memory that
// grows with the depth; fits_in_memory (program.hpp) bounds it.
#include "select/stream.hpp"

#include <algorithm>
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

constexpr std::uint32_t kNoLevel = UINT32_MAX;

struct Slot {
  const Compound* compound;
  Comb comb;               // to the slot before, in the same complex selector
  Comb read_by;            // the slot after's combinator: how it reads this one
  bool first;              // the complex selector's first compound
  bool last;               // its last: the list matches where this one does
  std::size_t list;
  std::size_t bit = 0;     // read by `>`, `+` or `~`: its bit in a level's words
};

class Streamer {
 public:
  Streamer(const Program& p, bool first) : p_(p), first_(first), values_("select()") {
    for (std::size_t l = 0; l < p.lists.size(); ++l) {
      for (const Complex& c : p.lists[l].items) {
        for (std::size_t j = 0; j < c.parts.size(); ++j) {
          const bool last = j + 1 == c.parts.size();
          slots_.push_back(Slot{&c.parts[j].compound, c.parts[j].comb,
                                last ? Comb::kNone : c.parts[j + 1].comb, j == 0, last, l});
          for (const Test& t : c.parts[j].compound.tests) {
            if (t.kind == Kind::kNth && t.list >= 0) of_.push_back(&t);
            if (t.kind == Kind::kLang) langs_.push_back(&t);
          }
        }
      }
    }
    std::size_t bits = 0;
    for (std::size_t s = 0; s < slots_.size(); ++s) {
      switch (slots_[s].read_by) {
        case Comb::kDescendant: outer_slots_.push_back(s); break;
        case Comb::kChild: parent_slots_.push_back(s); break;
        case Comb::kNext: next_slots_.push_back(s); break;
        case Comb::kLater: later_slots_.push_back(s); break;
        case Comb::kNone: continue;
      }
      if (slots_[s].read_by != Comb::kDescendant) slots_[s].bit = bits++;
    }
    width_ = (bits + 63) / 64;
    outer_.assign(slots_.size(), kNoLevel);
    claims_.reserve(outer_slots_.size());
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
    if (!first_) out_ = PyRef(PyList_New(0));
    // The tree's own level: no element, nothing held.
    ready_ = (first_ || out_) && push(nullptr);
  }

  // The result so far: the list, or the first match (None when there is none).
  PyObject* result() {
    if (!first_) return out_.release();
    return found_ ? found_.release() : PyRef::borrow(Py_None).release();
  }
  bool ready() const { return ready_; }
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
    PyRef language;
    if (!langs_.empty()) {
      const int own = values_.own_language(element, where, language);
      if (own < 0) return -1;
      if (own == 0 && level.language) language = PyRef::borrow(level.language.get());
      for (std::size_t k = 0; k < langs_.size(); ++k) {
        lang_cur_[k] = language && in_ranges(*langs_[k], language.get());
      }
    }
    if (match(element, tag.get(), where, d) < 0) return -1;
    // This element is now the last child of its parent.
    std::uint64_t* words = words_at(d);
    for (std::size_t s : next_slots_) put(words, slots_[s].bit, cur_[s]);
    for (std::size_t s : later_slots_) {
      if (cur_[s]) put(words, slots_[s].bit, true);
    }
    // An element stands at more than one place if it or anything above it
    // may (one shared element puts all it holds at each of its places).
    const bool shared = level.shared || tree::held_elsewhere_element(element);
    if (matched_.back() && !add(element, shared)) return -1;
    if (stopped_) return -1;
    const int descend = tree::children_of(element, children);
    if (descend > 0) {
      if (!push(element)) return -1;
      Level& open = levels_[depth_ - 1];
      open.number = where.number;
      open.tag = std::move(tag);
      open.language = std::move(language);
      open.shared = shared || tree::held_elsewhere_children(children.get());
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
    std::uint32_t number = 0;    // the open element's, for error messages
    std::size_t claims = 0;      // the size of claims_ when it opened
    PyRef tag;                   // its tag; none for the tree's own level
    PyRef language;              // its "lang" or its nearest ancestor's; none when unknown
    bool shared = false;         // its children may stand at more than one place
  };

  // The bits of the open element at level d (for `>`) and of its children so
  // far (for `+` and `~`), and its counts of children matching each `of S`.
  std::uint64_t* words_at(std::size_t d) { return words_.data() + d * width_; }
  std::uint32_t* of_at(std::size_t d) { return of_counts_.data() + d * of_.size(); }
  static bool bit(const std::uint64_t* words, std::size_t b) { return (words[b / 64] >> (b % 64)) & 1; }
  static void put(std::uint64_t* words, std::size_t b, bool on) {
    const std::uint64_t mask = std::uint64_t{1} << (b % 64);
    words[b / 64] = on ? words[b / 64] | mask : words[b / 64] & ~mask;
  }

  // Opens a level for the children of the element that holds the slots
  // cur_ says (nullptr: the tree's own level, with none). False with
  // MemoryError set when the levels would take more than kMatchMemory.
  bool push(PyObject* element) {
    const std::size_t d = depth_;
    if (levels_.size() <= d) {  // the arrays only ever grow
      const std::size_t each = sizeof(Level) + width_ * sizeof(std::uint64_t) +
                               of_.size() * sizeof(std::uint32_t);
      if (!fits_in_memory(p_, "select()", each, "level of nesting", d + 1)) return false;
      levels_.emplace_back();
      words_.resize((d + 1) * width_);
      of_counts_.resize((d + 1) * of_.size());
    }
    ++depth_;
    Level& level = levels_[d];
    level.children = 0;
    level.shared = false;
    level.claims = claims_.size();
    std::uint64_t* words = words_at(d);
    std::fill(words, words + width_, 0);
    std::fill(of_at(d), of_at(d) + of_.size(), 0);
    if (!element) return true;
    for (std::size_t s : parent_slots_) {
      if (cur_[s]) put(words, slots_[s].bit, true);
    }
    for (std::size_t s : outer_slots_) {
      if (cur_[s] && outer_[s] == kNoLevel) {
        outer_[s] = static_cast<std::uint32_t>(d);
        claims_.push_back(s);
      }
    }
    return true;
  }

  void pop() {
    Level& level = levels_[--depth_];
    for (std::size_t i = level.claims; i < claims_.size(); ++i) outer_[claims_[i]] = kNoLevel;
    claims_.resize(level.claims);
    level.tag = PyRef();
    level.language = PyRef();
  }

  // Fills cur_ and matched_ for the element entered at level d + 1.
  int match(PyObject* element, PyObject* tag, const Where& where, std::size_t d) {
    const std::uint64_t* words = words_at(d);
    std::fill(matched_.begin(), matched_.end(), 0);
    std::size_t list = 0;
    for (std::size_t s = 0; s < slots_.size(); ++s) {
      const Slot& slot = slots_[s];
      if (slot.list != list) counted(list), list = slot.list;
      // Whether the compounds before this one match where the combinator looks.
      bool reached = slot.first;
      if (!reached) {
        switch (slot.comb) {
          case Comb::kDescendant: reached = outer_[s - 1] != kNoLevel; break;
          case Comb::kChild:
          case Comb::kNext:
          case Comb::kLater: reached = bit(words, slots_[s - 1].bit); break;
          case Comb::kNone: break;
        }
      }
      std::uint8_t holds = 0;
      if (reached) {
        const int r = compound(*slot.compound, element, tag, where, d);
        if (r < 0) return -1;
        holds = static_cast<std::uint8_t>(r);
        if (r && slot.last) matched_[slot.list] = 1;
      }
      cur_[s] = holds;
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

  // Adds a match to the result; an element that stands at two places (it
  // may when `shared`) is listed at the first.
  bool add(PyObject* element, bool shared) {
    if (shared && !listed_.insert(element).second) return true;
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
  bool ready_ = false;
  std::vector<Slot> slots_;
  // The slots by the combinator that reads them: ` `, `>`, `+`, `~`.
  std::vector<std::size_t> outer_slots_, parent_slots_, next_slots_, later_slots_;
  std::size_t width_ = 0;           // the words of bits for each level
  std::vector<const Test*> of_;     // the :nth-child(An+B of S) tests
  std::vector<const Test*> langs_;  // the :lang() tests
  std::vector<std::size_t> slot_;   // by test: its place in of_ or langs_
  std::vector<std::vector<std::size_t>> of_by_list_;  // by list S: the of_ tests that count it
  std::vector<Level> levels_;       // by level: the tree's own, then each open element's
  std::size_t depth_ = 0;           // the levels in use
  std::vector<std::uint64_t> words_;
  std::vector<std::uint32_t> of_counts_;
  // By slot read by ` `: the level of the outermost open element that holds
  // it, or kNoLevel; and the slots so set, in the order the levels opened.
  std::vector<std::uint32_t> outer_;
  std::vector<std::size_t> claims_;
  // For the element being matched.
  std::vector<std::uint8_t> cur_;      // by slot: whether it holds it
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
