// The character-level comparisons selectors make on attribute values and
// language tags, over 1-byte strs.
#include "select/text.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace quillet::select {
namespace {

Text text(const std::string& s) {
  Text t;
  t.kind = PyUnicode_1BYTE_KIND;
  t.data = s.data();
  t.size = static_cast<Py_ssize_t>(s.size());
  return t;
}

struct LanguageCase {
  std::string tag, range;
  bool matches;
};

// Examples of extended filtering from RFC 4647, section 3.3.2, and the
// edges around them.
class LanguageTest : public ::testing::TestWithParam<LanguageCase> {};

TEST_P(LanguageTest, FiltersAsTheRfcDoes) {
  const LanguageCase& c = GetParam();
  EXPECT_EQ(language_matches(text(c.tag), text(c.range)), c.matches) << c.tag << " in " << c.range;
}

INSTANTIATE_TEST_SUITE_P(
    Rfc4647, LanguageTest,
    ::testing::Values(LanguageCase{"de-DE", "de-*-DE", true}, LanguageCase{"de-de", "de-*-DE", true},
                      LanguageCase{"de-Latn-DE", "de-*-DE", true},
                      LanguageCase{"de-Latf-DE", "de-*-DE", true},
                      LanguageCase{"de-DE-x-goethe", "de-*-DE", true},
                      LanguageCase{"de-Latn-DE-1996", "de-*-DE", true},
                      LanguageCase{"de-Deva-DE", "de-*-DE", true}, LanguageCase{"de", "de-*-DE", false},
                      LanguageCase{"de-x-DE", "de-*-DE", false},
                      LanguageCase{"de-Deva", "de-*-DE", false}, LanguageCase{"en-US", "en", true},
                      LanguageCase{"en", "EN", true}, LanguageCase{"english", "en", false},
                      LanguageCase{"fr-CH", "*-CH", true}, LanguageCase{"fr", "*", true},
                      LanguageCase{"", "*", false}, LanguageCase{"en", "", false},
                      LanguageCase{"de-Latn-DE", "de-DE", true}));

TEST(TextTest, WordsAreSplitAtAsciiWhitespace) {
  EXPECT_TRUE(has_word(text(" a\tb\nc "), text("b"), false));
  EXPECT_TRUE(has_word(text("a B"), text("b"), true));
  EXPECT_FALSE(has_word(text("a B"), text("b"), false));
  EXPECT_FALSE(has_word(text("ab"), text("b"), false));
  EXPECT_FALSE(has_word(text(""), text("b"), false));
}

TEST(TextTest, CommentsOnly) {
  EXPECT_TRUE(only_comments(text("<!-- a -->")));
  EXPECT_TRUE(only_comments(text("<!---->")));
  EXPECT_TRUE(only_comments(text("<!-- a --><!--b-->")));
  EXPECT_FALSE(only_comments(text("")));
  EXPECT_FALSE(only_comments(text("<!-->")));
  EXPECT_FALSE(only_comments(text("<!-- a --> ")));
  EXPECT_FALSE(only_comments(text("<!-- a ->")));
  EXPECT_FALSE(only_comments(text("x<!-- a -->")));
}

TEST(TextTest, CaseFoldsAsciiLettersOnly) {
  EXPECT_TRUE(equals(text("aBc"), text("AbC"), true));
  EXPECT_FALSE(equals(text("aBc"), text("AbC"), false));
  EXPECT_FALSE(equals(text("\xe9"), text("\xc9"), true));  // é, É: not ASCII
  EXPECT_TRUE(starts_with(text("Hello"), text("he"), true));
  EXPECT_TRUE(ends_with(text("Hello"), text("LO"), true));
  EXPECT_TRUE(contains(text("Hello"), text("ell"), false));
  EXPECT_FALSE(contains(text("He"), text("Hel"), false));
}

// contains against std::string::find, over two or four letters (so that
// patterns overlap themselves and have long borders), with patterns on
// both sides of the length where the search changes, often cut from the
// text itself, with and without case.
TEST(TextTest, ContainsFindsWhatFindFinds) {
  std::mt19937 rng(7);
  auto lower = [](std::string t) {
    for (char& c : t) c = static_cast<char>(ascii_lower(static_cast<unsigned char>(c)));
    return t;
  };
  for (int round = 0; round < 20000; ++round) {
    const char* letters = round % 2 ? "abAB" : "ab";
    const std::size_t kinds = round % 2 ? 4 : 2;
    std::string s(rng() % 90, 'a'), p(1 + rng() % 40, 'a');
    for (char& c : s) c = letters[rng() % kinds];
    for (char& c : p) c = letters[rng() % kinds];
    if (rng() % 2 && p.size() <= s.size()) {
      p = s.substr(rng() % (s.size() - p.size() + 1), p.size());
      if (rng() % 2) p.back() = letters[rng() % kinds];
    }
    for (const bool ignore_case : {false, true}) {
      const bool want = (ignore_case ? lower(s).find(lower(p)) : s.find(p)) != std::string::npos;
      ASSERT_EQ(contains(text(s), text(p), ignore_case), want) << s << " / " << p << " / " << ignore_case;
    }
  }
}

}  // namespace
}  // namespace quillet::select
