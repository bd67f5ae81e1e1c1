// Word detector: literal words, character runs, inversion, the two factories.
#include <gtest/gtest.h>

#include "base/consumable.hpp"
#include "support/test_support.hpp"

namespace quillet {
namespace {

using namespace test;

WordDetector cls(const char32_t* a, bool invert = false) {
  return {.alphabet = Chars(a), .invert = invert ? std::optional(true) : std::nullopt};
}

struct WordCase {
  WordDetector detector;
  const char* input;
  std::optional<std::string> consumed;  // absent: no match
};

TEST(WordDetectorTest, MatchesAndConsumesExactly) {
  const std::vector<WordCase> cases = {
      {lit("<"), "<a>", "<"},
      {lit("abc"), "ab", std::nullopt},
      {lit("abc"), "abd", std::nullopt},
      {lit("A"), "a", std::nullopt},
      {lit(""), "x", ""},
      {lit("é😀"), "é😀!", "é😀"},  // compared as scalar values, not bytes
      {lit("é"), "e", std::nullopt},
      {whitespace_detector(), " \t\r\nx ", " \t\r\n"},
      {whitespace_detector(), "x", std::nullopt},
      {whitespace_detector(), "", std::nullopt},
      {identifier_detector(), "Item-2_b=1", "Item-2_b"},
      {identifier_detector(), "é", std::nullopt},
      {identifier_detector(), "~`@[{", std::nullopt},  // neighbours of the class ranges
      {cls(U"a"), "\u0161", std::nullopt},  // low 7 bits equal 'a'
      {cls(U"@\x7f"), "@\x7f?", "@\x7f"},  // both halves of the ASCII mask
      {cls(U"ü😀é"), "é😀üx", "é😀ü"},
      {cls(U"ab", true), "xyzab", "xyz"},
      {cls(U"", true), "hé😀", "hé😀"},
      {cls(U""), "a", std::nullopt},
      {{.word = "a", .alphabet = Chars(U"a")}, "a", std::nullopt},  // both modes set
      {{}, "a", std::nullopt},                                 // neither
  };
  for (const auto& c : cases) {
    const Chars input = from_string(c.input);
    Buffer buffer(input);
    Consumed got = consume(buffer, c.detector);
    ASSERT_EQ(got.text, c.consumed) << c.input;
    if (!got.matched) continue;
    const Result& r = *got.result;
    EXPECT_EQ(r.detector, Detector(c.detector)) << c.input;
    if (c.detector.word) {
      EXPECT_FALSE(r.text) << c.input;
      EXPECT_EQ(r.attributes->get("word"), Value(*c.detector.word)) << c.input;
    } else {
      EXPECT_EQ(r.text, from_string(*c.consumed)) << c.input;
      EXPECT_EQ(r.attributes->get("alphabet"), Value(*c.detector.alphabet)) << c.input;
    }
    EXPECT_EQ(r.attributes->size(), 1u) << c.input;
  }
}

// The order shows in every class result's "alphabet" attribute.
TEST(WordDetectorTest, FactoriesListTheirAlphabetsInOrder) {
  EXPECT_EQ(whitespace_detector(), cls(U" \n\t\r"));
  EXPECT_EQ(identifier_detector(), cls(U"abcdefghijklmnopqrstuvwxyz_ABCDEFGHIJKLMNOPQRSTUVWXYZ-0123456789"));
}

}  // namespace
}  // namespace quillet
