// consume_any with detectors that match without consuming, matches that take
// the whole scanned text, and scopes delimited by such detectors: every scan
// returns, with the results the two scanning rules and the scope rule give.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <random>

#include "base/consumable.hpp"
#include "support/test_support.hpp"

namespace quillet {
namespace {

using namespace test;

// Every character: an inverted empty alphabet takes the whole rest of the buffer.
Detector rest() { return WordDetector{.alphabet = Chars(), .invert = true}; }

// consume_any on `input`, or the end of the test program if it does not return
// in time: a hang must show up as a failure, not as a stuck test run.
std::optional<std::vector<Result>> scan(const std::string& input, const List& detectors) {
  auto chars = std::make_shared<const Chars>(from_string(input));
  auto task = std::async(std::launch::async, [chars, detectors] {
    Buffer buffer(*chars);
    auto results = consume_any(buffer, detectors);
    EXPECT_TRUE(buffer.empty());
    return results;
  });
  if (task.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    std::fprintf(stderr, "consume_any did not return on '%s'\n", input.substr(0, 80).c_str());
    std::fflush(stderr);
    std::_Exit(EXIT_FAILURE);
  }
  return task.get();
}

struct ScanCase {
  List detectors;
  std::string input;
  std::string rendered;
};

void check_all(const std::vector<ScanCase>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE("input '" + c.input + "'");
    const auto got = scan(c.input, c.detectors);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(render(*got), c.rendered);
  }
}

TEST(TerminationTest, ZeroLengthMatchesCountAsNoMatch) {
  check_all({
      {{lit("")}, "abc", "|abc|"},
      {{lit(""), lit("b")}, "abc", "|a| 'b' |c|"},
      // Boolean forms never consume: at the front of a list they only pass the
      // position on to the detectors behind them.
      {{not_(lit("x")), all_of({}), none_of({lit("b")}), any_of({lit("b")}), lit("b")}, "abc",
       "|a| 'b' |c|"},
      {{all_of({identifier_detector()})}, "abc", "|abc|"},  // its text is the whole buffer
      {{not_(not_(lit("a"))), any_of({all_of({none_of({})})}), lit("a")}, "aba", "'a' |b| 'a'"},
      // A scope that opens and closes on nothing consumes nothing.
      {{scope(not_(lit("x")), not_(lit("y")))}, "ab", "|ab|"},
      {{scope(lit(""), lit(""))}, "ab", "|ab|"},
  });
}

TEST(TerminationTest, AMatchThatHandsBackWhatItConsumedIsNotScannedAgain) {
  check_all({
      {{identifier_detector()}, "abc", "W[abc]"},
      {{whitespace_detector()}, " \t\n", "W[ \t\n]"},
      {{rest()}, "a b", "W[a b]"},
      {{lit("x"), rest()}, "xa(b)", "'x' W[a(b)]"},
      {{identifier_detector()}, "ab cd", "W[ab] | | W[cd]"},
      {{scope(lit("("), lit(")")), identifier_detector()}, "(ab)", "S'('[ab]{W[ab]}"},
      {{scope(lit("("), lit(")"))}, "((a))", "S'('[(a)]{S'('[a]{|a|}}"},
  });
}

TEST(TerminationTest, ScopesDelimitedByZeroLengthMatches) {
  check_all({
      // An opening that consumes nothing counts only at the front.
      {{scope(not_(lit("x")), lit(";"))}, "ab;cd;", "S?[ab]{|ab|} S?[cd]{|cd|}"},
      {{scope(lit(""), lit(")"))}, "ab)c", "S''[ab]{|ab|} |c|"},
      {{scope(all_of({lit("(")}), lit(")"))}, "(a)b", "S?[(a]{|(a|} |b|"},
      // Both delimiters consume nothing: the text is all that was consumed.
      {{scope(any_of({lit("<"), lit("[")}), any_of({lit(">"), lit("]")}))}, "<a]", "S?[<a] |]|"},
      // A closing that consumes nothing still counts, at every depth.
      {{scope(lit("("), not_(lit("x")))}, "(ab", "S'('[] |ab|"},
      {{scope(lit("("), not_(lit("(")))}, "((x", "S'('[(]{|(|} |x|"},
      // Delimiters that are scopes over zero-length openings themselves.
      {{scope(scope(not_(lit("x")), lit(":")), lit(";"))}, "k:v;", "S?[v]{|v|}"},
      {{scope(scope(lit(""), lit(":")), not_(lit(":")))}, "a:b:c", "S?[] S?[] |c|"},
  });
}

// Random texts over the characters the detectors care about, scanned with a
// list holding every troublesome kind at once: each scan returns, and its
// results keep the text-run invariants.
TEST(TerminationTest, RandomTextsWithEveryKindReturn) {
  const List detectors = {
      not_(lit("x")),
      scope(any_of({lit("("), lit("")}), not_(lit("a"))),
      scope(lit("("), lit(")")),
      all_of({identifier_detector(), any_of({lit("a")})}),
      NumberDetector{.floating = true},
      scope(none_of({lit(")")}), lit(";")),
      lit(""),
      identifier_detector(),
      whitespace_detector(),
      rest(),
  };
  std::mt19937 rng(7);
  const std::string alphabet = "ab1.-();x <>";
  for (int i = 0; i < 300; ++i) {
    std::string input(1 + rng() % 40, ' ');
    for (char& c : input) c = alphabet[rng() % alphabet.size()];
    SCOPED_TRACE("input '" + input + "'");
    const auto got = scan(input, detectors);
    ASSERT_TRUE(got.has_value());
    render(*got);
  }
}

// A realistic line through a mixed list: numbers before names (names may hold
// digits), two kinds of scope, and boolean forms that never take a position.
TEST(ConsumeAnyMixedTest, ChecksTheWholeResultList) {
  const List detectors = {
      NumberDetector{},
      any_of({lit("="), lit(";")}),
      scope(lit("\""), lit("\"")),
      scope(lit("("), lit(")")),
      lit("="),
      not_(whitespace_detector()),
      identifier_detector(),
  };
  const auto got = scan("retry(3) after 2.5s; limit = -40 \"max (hard)\" ok", detectors);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(render(*got),
            "W[retry] S'('[3]{Ni=3} | | W[after] | | Nf=2.5 W[s] |; | "
            "W[limit] | | '=' | | Ni=-40 | | "
            "S'\"'[max (hard)]{W[max] | | S'('[hard]{W[hard]}} | | W[ok]");
  // The results are the detectors' own: each carries a copy of the list entry.
  ASSERT_EQ(got->size(), 17u);
  EXPECT_EQ((*got)[1].detector, detectors[3]);
  EXPECT_EQ((*got)[5].detector, detectors[0]);
  EXPECT_EQ((*got)[14].detector, detectors[2]);
}

}  // namespace
}  // namespace quillet
