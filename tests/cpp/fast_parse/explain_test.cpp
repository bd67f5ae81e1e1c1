// explain_text: the reason each tag-like text stayed text, at every
// character width, and the index that notes rejections indexing exactly as
// the one that does not.
#include "fast_parse/explain.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/markup_inputs.hpp"

namespace quillet::fast {
namespace {

template <class CharT>
std::vector<std::pair<Pos, Reason>> explained(const std::u32string& text) {
  const std::vector<CharT> chars(text.begin(), text.end());
  std::vector<std::pair<Pos, Reason>> out;
  for (const Stayed& s : explain_text(chars.data(), static_cast<Pos>(chars.size())))
    out.emplace_back(s.start, s.reason);
  return out;
}

struct Case {
  std::u32string text;
  std::vector<std::pair<Pos, Reason>> want;
};

Reason fault(TagFault f) { return reason_of(f); }

const std::vector<Case>& cases() {
  static const std::vector<Case> all = {
      {U"<a xml:lang=\"en\">x</a>", {{0, fault(TagFault::colon_in_name)}, {18, Reason::stray_end_tag}}},
      {U"<dc:date>", {{0, fault(TagFault::colon_in_name)}}},
      {U"<a :k=\"1\">", {{0, fault(TagFault::colon_in_name)}}},
      {U"<a.b>", {{0, fault(TagFault::bad_name_char)}}},
      {U"<a k=\"1\".>", {{0, fault(TagFault::stray_character)}}},
      {U"<input disabled>", {{0, fault(TagFault::attribute_without_value)}}},
      {U"<a b c=\"d\">", {{0, fault(TagFault::attribute_without_value)}}},
      {U"<p class='x'>", {{0, fault(TagFault::single_quoted_value)}}},
      {U"<p class=x>", {{0, fault(TagFault::unquoted_value)}}},
      {U"<p k=>", {{0, fault(TagFault::unquoted_value)}}},
      {U"<p k=\"v>", {{0, fault(TagFault::unterminated_value)}}},
      {U"</p k=\"v\">", {{0, fault(TagFault::end_tag_attributes)}}},
      {U"</p/>", {{0, fault(TagFault::slash_in_end_tag)}}},
      {U"<br/ >", {{0, fault(TagFault::misplaced_slash)}}},
      {U"<a / k=\"1\">", {{0, fault(TagFault::misplaced_slash)}}},
      {U"<a \"x\">", {{0, fault(TagFault::stray_character)}}},
      {U"<a k=\"1\" k=\"2\">", {{0, fault(TagFault::repeated_attribute)}}},
      {U"a <b c", {{2, fault(TagFault::no_gt)}}},
      {U"<p>text", {{0, Reason::no_closing_tag}}},
      {U"<BR>", {{0, Reason::void_without_slash}}},
      {U"<bra>", {{0, Reason::no_closing_tag}}},
      {U"<b><i>x</b></i>", {{3, Reason::end_tag_elsewhere}, {11, Reason::stray_end_tag}}},
      {U"<p>a<b k=\"</p>\">", {{4, Reason::ends_outside_parent}}},
      {U"<a k='<b>'>", {{0, fault(TagFault::single_quoted_value)}, {6, Reason::inside_tag}}},
      // Not tag-like, or inside what is not: left out.
      {U"<!-- <b> --> <!doctype html> < p> <3 <?x <i>?>", {}},
      // Elements are not explained; what stayed text inside them is.
      {U"<div><br></div><img/>", {{5, Reason::void_without_slash}}},
  };
  return all;
}

TEST(ExplainTest, EachReasonAtEveryWidth) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(std::string(c.text.begin(), c.text.end()));
    EXPECT_EQ(explained<std::uint8_t>(c.text), c.want);
    EXPECT_EQ(explained<std::uint16_t>(c.text), c.want);
    EXPECT_EQ(explained<std::uint32_t>(c.text), c.want);
  }
}

TEST(ExplainTest, EveryReasonHasWords) {
  for (int r = 1; r < static_cast<int>(Reason::count); ++r) EXPECT_FALSE(reason_text(static_cast<Reason>(r)).empty());
  EXPECT_TRUE(reason_text(Reason::count).empty());
}

// Noting rejections changes nothing of the index, and every "<" is either
// a valid tag's or noted.
TEST(ExplainTest, NotingRejectionsIndexesAlike) {
  std::mt19937 rng(11);
  std::vector<std::u32string> texts = test::cases();
  for (int i = 0; i < 300; ++i) texts.push_back(test::random_text(rng, 40));
  for (const std::u32string& text : texts) {
    const std::vector<std::uint32_t> chars(text.begin(), text.end());
    const auto size = static_cast<Pos>(chars.size());
    std::vector<Rejected> rejected;
    const MarkupIndex<std::uint32_t> plain(chars.data(), size);
    const MarkupIndex<std::uint32_t> noting(chars.data(), size, rejected);
    ASSERT_EQ(plain.tags().size(), noting.tags().size());
    std::size_t opens = 0;
    for (const std::uint32_t c : chars) opens += c == '<';
    EXPECT_EQ(plain.tags().size() + rejected.size(), opens);
    for (std::size_t t = 0; t < plain.tags().size(); ++t) {
      EXPECT_EQ(plain.tags()[t].start, noting.tags()[t].start);
      EXPECT_EQ(plain.tags()[t].close, noting.tags()[t].close);
    }
    for (const Rejected& r : rejected) {
      EXPECT_EQ(chars[r.start], static_cast<std::uint32_t>('<'));
      EXPECT_NE(r.fault, TagFault::none);
      EXPECT_EQ(r.close == kNone, r.fault == TagFault::no_gt);
    }
  }
}

}  // namespace
}  // namespace quillet::fast
