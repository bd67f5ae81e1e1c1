// Checks a consume_any result list against the scanning loop's invariants by
// replaying the loop's passes over the text the list came from. A pass tries
// the detectors in list order at the current position, each match consuming
// before the next detector is tried; a pass without a match sets one
// character aside. The replay checks that:
//  1. each match of a pass stands next in the list and equals (children
//     aside) what its detector gives at that place; its extent is skipped;
//  2. each set-aside character is the next character of a text run; text
//     runs are non-empty, never side by side, and never cut short by a match;
//  3. the list ends exactly where the text does, so text runs and match
//     extents together are the whole text, in order;
//  4. a match whose text is non-empty and shorter than its extent has
//     children, and they obey 1-4 over that text; any other match keeps the
//     children its detector set.
// Levels are checked from an explicit stack, like consume_any scans them.
// Any violation aborts with a description, which libFuzzer reports as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/consumable.hpp"

namespace quillet::fuzzing {

[[noreturn]] inline void fail(const char* what, std::u32string_view level) {
  std::fprintf(stderr, "invariant broken: %s\nlevel text: %s\n", what, chars_to_string(level).c_str());
  std::abort();
}

// A match that consume_any counts at the front of `at`: its extent (> 0) and
// result, or nothing.
struct Match {
  std::size_t extent;
  Result result;
};

inline std::optional<Match> counted_match(const Buffer& at, const Detector& detector) {
  Buffer scratch = at;
  Consumed c = consume(scratch, detector);
  const std::size_t n = at.size() - scratch.size();
  if (!c.matched || n == 0) return std::nullopt;
  return Match{n, std::move(*c.result)};
}

// `thorough`: try the detectors at every set-aside character, as the loop
// did (the replay then costs as much as the scan). Otherwise only at the
// first character of each text run, and the rest is taken as set aside.
inline void check_scan(const Chars& text, const std::optional<std::vector<Result>>& results,
                       const std::vector<Detector>& detectors, bool thorough) {
  if (text.empty()) {
    if (results) fail("an empty text gave a result list", text);
    return;
  }
  if (!results) fail("a non-empty text gave no result list", text);

  struct Level {
    std::u32string_view text;
    const std::vector<Result>* results;
  };
  std::vector<Level> stack{{text, &*results}};
  while (!stack.empty()) {
    const Level level = stack.back();
    stack.pop_back();
    const std::vector<Result>& list = *level.results;
    Buffer buffer(level.text);
    std::size_t next = 0;     // the result the replay expects next
    std::size_t in_run = 0;   // characters of list[next] (a text run) seen so far
    bool after_run = false;   // list[next - 1] is a text run
    while (!buffer.empty()) {
      bool matched = false;
      if (in_run == 0 || thorough) {
        for (const Detector& d : detectors) {
          std::optional<Match> m = counted_match(buffer, d);
          if (!m) continue;
          if (in_run != 0) fail("a match cuts a text run short", level.text);
          if (next == list.size() || list[next].is_text_run())
            fail("a match where the results have none", level.text);
          const Result& r = list[next];
          // A result names the detector that built it, which need not be the
          // list entry (an AnyOf form hands on its member's result).
          if (!(r.detector == m->result.detector) || r.text != m->result.text ||
              r.attributes != m->result.attributes)
            fail("a match differs from what the detector gives at its place", level.text);
          if (r.text && !r.text->empty() && r.text->size() < m->extent) {
            if (!r.children) fail("a match's text was not scanned for children", level.text);
            stack.push_back({*r.text, &*r.children});
          } else if (r.children != m->result.children) {
            fail("a match's children differ from what its detector set", level.text);
          }
          buffer.remove_prefix(m->extent);
          ++next;
          after_run = false;
          matched = true;
        }
      }
      if (matched) continue;
      // A pass without a match: one character goes to the current text run.
      if (next == list.size() || !list[next].is_text_run())
        fail("a character was set aside where the results have no text run", level.text);
      const Result& run = list[next];
      if (in_run == 0) {
        if (after_run) fail("two text runs side by side", level.text);
        if (!run.text || run.text->empty()) fail("empty text run", level.text);
        if (run.attributes || run.children) fail("a text run with attributes or children", level.text);
      }
      if (buffer.take() != (*run.text)[in_run]) fail("a text run differs from the text", level.text);
      if (++in_run == run.text->size()) {
        in_run = 0;
        ++next;
        after_run = true;
      }
    }
    if (in_run != 0) fail("a text run is longer than the rest of the text", level.text);
    if (next != list.size()) fail("results go on after the end of the text", level.text);
  }
}

}  // namespace quillet::fuzzing
