// Tag detector: accepted syntax and the five constraints.
#include <gtest/gtest.h>

#include "base/consumable.hpp"

namespace quillet {
namespace {

struct TagCase {
  std::u32string input;
  TagDetector detector;
  bool matches;
  std::string name = "";
  std::vector<std::pair<std::string, std::string>> attributes = {};
  bool closing = false;
  bool self_closing = false;
  std::size_t consumed = 0;
};

std::string show(const std::u32string& s) { return chars_to_string(s); }

TagDetector with_tag(std::string t) { return TagDetector{.tag = std::move(t)}; }
TagDetector with(std::optional<bool> attributes, std::optional<bool> closing,
                 std::optional<bool> self_closing, std::optional<bool> opening) {
  return TagDetector{.attributes = attributes, .closing = closing, .self_closing = self_closing, .opening = opening};
}

TEST(TagDetectorTest, SyntaxAndConstraints) {
  const TagDetector any;
  const std::vector<TagCase> cases = {
      {U"<a href=\"x\" id=\"y\">", any, true, "a", {{"href", "x"}, {"id", "y"}}, false, false, 19},
      {U"</a>", any, true, "a", {}, true, false, 4},
      {U"</ a >", any, true, "a", {}, true, false, 6},
      {U"< /a>", any, false},
      {U"< a>", any, true, "a", {}, false, false, 4},
      {U"<br/>", any, true, "br", {}, false, true, 5},
      {U"<br />", any, true, "br", {}, false, true, 6},
      {U"<br/ >", any, false},
      {U"</a/>", any, false},
      {U"</a x=\"1\">", any, false},
      {U"<input disabled>", any, false},
      {U"<a x=1>", any, false},
      {U"<a x='1'>", any, false},
      {U"<a x=\"1\"y=\"2\">", any, true, "a", {{"x", "1"}, {"y", "2"}}, false, false, 14},
      {U"<a x=\"\">", any, true, "a", {{"x", ""}}, false, false, 8},
      {U"<a x=\"1\" x=\"2\">", any, false},
      {U"<a title=\"x>y\">", any, false},
      {U"<a title=\"<b>\">", any, true, "a", {{"title", "<b>"}}, false, false, 15},
      {U" <a>", any, false},
      {U"a<b>", any, false},
      {U"<a", any, false},
      {U"<>", any, false},
      {U"<Item-2_b>rest", any, true, "Item-2_b", {}, false, false, 10},
      {U"<é>", any, false},
      {U"<a>", with_tag("a"), true, "a", {}, false, false, 3},
      {U"<A>", with_tag("a"), false},
      {U"<ab>", with_tag("a"), false},
      {U"</a>", with({}, false, {}, {}), false},
      {U"<a>", with({}, true, {}, {}), false},
      {U"</a>", with({}, {}, {}, true), false},
      {U"<a>", with({}, {}, {}, false), false},
      {U"<a>", with(true, {}, {}, {}), false},
      {U"<a x=\"1\">", with(false, {}, {}, {}), false},
      {U"<a x=\"1\">", with(true, {}, {}, {}), true, "a", {{"x", "1"}}, false, false, 9},
      {U"<a>", with({}, {}, true, {}), false},
      {U"<a/>", with({}, {}, false, {}), false},
      {U"<a/>", with({}, false, true, true), true, "a", {}, false, true, 4},
      {U"</a>", with({}, true, {}, true), false},
      {U"</a>", with({}, true, true, {}), false},
      {U"<>", with({}, {}, {}, {}), false},
  };
  for (const TagCase& c : cases) {
    SCOPED_TRACE(show(c.input));
    Buffer buffer(c.input);
    Consumed got = consume(buffer, c.detector);
    ASSERT_EQ(got.matched, c.matches);
    if (!c.matches) {
      EXPECT_EQ(buffer.size(), c.input.size());
      continue;
    }
    EXPECT_EQ(c.input.size() - buffer.size(), c.consumed);
    const Result& r = *got.result;
    EXPECT_EQ(r.detector, Detector(c.detector));
    EXPECT_FALSE(r.text.has_value());
    EXPECT_FALSE(r.children.has_value());
    const Dict& a = *r.attributes;
    EXPECT_EQ(a.size(), 5u);
    EXPECT_EQ(a.get("tag"), Value(c.name));
    EXPECT_EQ(a.get("closing"), Value(c.closing));
    EXPECT_EQ(a.get("opening"), Value(!c.closing));
    EXPECT_EQ(a.get("self_closing"), Value(c.self_closing));
    Dict want;
    for (const auto& [k, v] : c.attributes) want.set(k, Value(v));
    EXPECT_EQ(a.get("attributes"), Value(want));
  }
}

TEST(TagDetectorTest, LeavesTheRestOfTheBuffer) {
  const Chars text = U"<a>rest";
  Buffer buffer(text);
  ASSERT_TRUE(consume(buffer, TagDetector{}).matched);
  EXPECT_EQ(buffer.view(), U"rest");
}

}  // namespace
}  // namespace quillet
