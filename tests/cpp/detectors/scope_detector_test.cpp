// Scope detector: nesting, delimiter precedence, multi-character and empty delimiters.
#include <gtest/gtest.h>

#include "base/consumable.hpp"
#include "support/test_support.hpp"

namespace quillet {
namespace {

using namespace test;

struct ScopeCase {
  const char* start;
  const char* end;
  const char* input;
  std::optional<std::string> text;  // absent: no match
  std::string rest;
};

TEST(ScopeDetectorTest, FindsTheBalancingEnd) {
  const std::vector<ScopeCase> cases = {
      {"(", ")", "(a(b)c)d", "a(b)c", "d"},
      {"(", ")", "(a(b)c", std::nullopt, ""},
      {"(", ")", "((a)", std::nullopt, ""},
      {"(", ")", "()", "", ""},
      {"(", ")", "(", std::nullopt, ""},
      {"(", ")", "x(a)", std::nullopt, ""},
      {"\"", "\"", "\"ab\"c\"", "ab", "c\""},  // end is tried first: no nesting
      {"<!--", "-->", "<!-- a <!-- b --> c -->!", " a <!-- b --> c ", "!"},
      {"<!--", "-->", "<!-- x --->", " x -", ""},  // a failed end try advances one character
      {"<!--", "-->", "<!-- <!- -->", " <!- ", ""},
      // An empty start inside the content is ignored, or this would never end.
      {"", ")", "ab)c", "ab", "c"},
      {"", ")", "ab", std::nullopt, ""},
      // An empty end closes at once.
      {"(", "", "(ab", "", "ab"},
      {"", "", "ab", "", "ab"},
  };
  for (const auto& c : cases) {
    const ScopeDetector scope(lit(c.start), lit(c.end));
    const Chars input = from_string(c.input);
    Buffer buffer(input);
    Consumed got = consume(buffer, scope);
    ASSERT_EQ(got.matched, c.text.has_value()) << c.input;
    if (!got.matched) continue;
    EXPECT_EQ(chars_to_string(*got.result->text), *c.text) << c.input;
    EXPECT_EQ(chars_to_string(buffer.view()), c.rest) << c.input;
    EXPECT_EQ(got.result->detector, Detector(scope)) << c.input;
  }
}

TEST(ScopeDetectorTest, RecordsTheOuterOpeningAndTheClosing) {
  // The opening is a run of name characters, so a nested opening ("x") looks
  // different from the outer one ("ab").
  const Chars input = from_string("ab x; ;!");
  Buffer buffer(input);
  Consumed got = consume(buffer, ScopeDetector(identifier_detector(), lit(";")));
  ASSERT_TRUE(got.matched);
  EXPECT_EQ(*got.result->text, Chars(U" x; "));
  const Dict& a = *got.result->attributes;
  EXPECT_EQ(a.size(), 2u);
  auto held = [&](const char* key) { return std::get<Result>(a.get(key).data); };
  EXPECT_EQ(held("start").text, Chars(U"ab"));
  EXPECT_EQ(held("end").attributes->get("word"), Value(";"));
}

}  // namespace
}  // namespace quillet
