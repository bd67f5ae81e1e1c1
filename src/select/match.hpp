// Matching a program against a tree's index.
//
// Every selector list is matched against every element at once, one pass
// over the index per compound selector: a complex selector's compounds from
// left to right, each pass carrying what the previous one found down the
// tree or along the siblings (forwards), and a relative selector's (:has)
// from right to left, carrying it up the tree or back along the siblings
// (backwards). A list is matched after the lists its tests name, so a test
// of an inner list is an array read. The work is the tree's size times the
// selector's, whatever the tree's shape. The memory is a byte per element
// for each list matched and still to be read (and the counts of an `of S`
// with S), so it too can grow as both; run works it out from the program
// before it starts and refuses what would pass kMatchMemory (program.hpp).
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "python/py_ref.hpp"
#include "select/index.hpp"
#include "select/program.hpp"
#include "select/values.hpp"
#include "tree/walk.hpp"

namespace quillet::select {

using Bits = std::vector<std::uint8_t>;

class Matcher {
 public:
  // `who` starts error messages ("select()").
  Matcher(const Program& program, const TreeIndex& index, const char* who);
  Matcher(const Matcher&) = delete;
  Matcher& operator=(const Matcher&) = delete;

  // Sets matched[e] for every element e that the selector matches. False with
  // an error set (a value of the wrong type, a key's __eq__ or a signal
  // handler that raised, or MemoryError, before anything is taken, when the
  // selector would need more than kMatchMemory for this tree). Throws
  // std::bad_alloc.
  bool run(Bits& matched);

 private:
  bool list(std::size_t l);
  bool complex(const Complex& c, Bits& out);
  bool relative(const Complex& c, Bits& out);
  // Each returns 1 when element e matches, 0 when not, -1 with an error set.
  int compound(const Compound& c, std::uint32_t e);
  int test(const Test& t, std::uint32_t e);
  int attribute(const Test& t, std::uint32_t e);
  int nth(const Test& t, std::uint32_t e);
  int lang(const Test& t, std::uint32_t e);
  Bits forwards(Comb comb, const Bits& m);
  Bits backwards(Comb comb, const Bits& m);
  Where where(std::uint32_t e) const;
  void count_children();
  void count_types();
  void count_of(std::size_t list);
  std::size_t bytes_per_element(const std::vector<std::uint8_t>& counted,
                                const std::vector<std::vector<std::size_t>>& done_after) const;

  const Program& p_;
  const TreeIndex& ix_;
  const std::uint32_t n_;
  const char* who_;
  ValueReader values_;
  tree::SignalClock clock_;
  std::vector<std::uint32_t> tag_of_;  // by compound: the tag's number, kAny or kNone
  std::vector<Bits> lists_;            // by list: the elements it matches
  std::vector<std::size_t> last_use_;  // by list: the last list that reads it
  // Positions among element siblings, counted on first use.
  std::vector<std::uint32_t> child_pos_, child_count_;  // count by parent (up())
  std::vector<std::uint32_t> type_pos_, type_last_;
  // By list S of an :nth-child(An+B of S): the siblings before each element
  // that match S, and by parent, all that do; counted on first use and let
  // go with S.
  std::vector<std::vector<std::uint32_t>> of_before_, of_total_;
  // By element: its language, a place in languages_, or kNone when unknown.
  std::vector<std::uint32_t> lang_of_;
  std::vector<PyRef> languages_;
  bool lang_done_ = false;
};

}  // namespace quillet::select
