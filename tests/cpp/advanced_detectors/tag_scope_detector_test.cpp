// Tag scope detector and the element trees the scanning loop builds with it.
#include <gtest/gtest.h>

#include "base/consumable.hpp"
#include "support/test_support.hpp"

namespace quillet {
namespace {

using namespace test;

std::string parse(const std::string& text) {
  const Chars chars = from_string(text);
  Buffer buffer(chars);
  return render(consume_any(buffer, {TagScopeDetector{}}));
}

// Element trees as render() of support/test_support.hpp writes them.
TEST(TagScopeDetectorTest, ElementTrees) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "<absent>"},
      {"hello", "|hello|"},
      {"<p class=\"a b\">Hi <b>x</b></p>!", "p(classes=[a][b])[Hi <b>x</b>]{|Hi| b[x]{|x|}} |!|"},
      {"<p class=\"a b\">Hello <b>you</b>!</p>",
       "p(classes=[a][b])[Hello <b>you</b>!]{|Hello| b[you]{|you|} |!|}"},
      {"x<br/>y", "|x| br/ |y|"},
      {"a <br/>", "|a| br/"},
      {"<p></p>", "p[]"},
      {"<br>", "|<br>|"},
      {"</p>", "|</p>|"},
      {"<p>unclosed", "|<p>unclosed|"},
      {"<a><a></a></a>", "a[<a></a>]{a[]}"},
      {"<a><a/></a>", "|<a>| a/ |</a>|"},
      {"<p>x</P>", "|<p>x</P>|"},
      {"  <p>x</p>", "p[x]{|x|}"},
      {"<p>x</p>  ", "p[x]{|x|} |  |"},
      {"<div x=\"1\" x=\"2\">a</div>", "|<div x=\"1\" x=\"2\">a</div>|"},
      {"<p>a <>b</p>", "p[a <>b]{|a <>b|}"},
      {"x <> y", "|x <> y|"},
      {"<p class=\"a  b\" id=\"i\" style=\"c: d\">t</p>",
       "p(id=i classes=[a][][b] style=c: d)[t]{|t|}"},
      {"<p class=\" a\"></p>", "p(classes=[][a])[]"},
      {"<p class=\"a\tb\"></p>", "p(classes=[a\tb])[]"},
      {"<a title=\"</a>\">x</a>", "a[x]{|x|}"},
      {"<ul><li>1<li>2</li></ul>", "ul[<li>1<li>2</li>]{|<li>1| li[2]{|2|}}"},
      {"<a>\n <b/>\t</a>", "a[\n <b/>\t]{b/ |\t|}"},
  };
  for (const auto& [input, want] : cases) EXPECT_EQ(parse(input), want) << input;
}

TEST(TagScopeDetectorTest, Filters) {
  struct Case {
    TagScopeDetector detector;
    std::u32string input;
    bool matches;
  };
  const std::vector<Case> cases = {
      {{.tag = "b"}, U"<b>x</b>", true},
      {{.tag = "b"}, U"<i>x</i>", false},
      {{.id = "main"}, U"<div id=\"main\">x</div>", true},
      {{.id = "main"}, U"<div>x</div>", false},
      {{.id = ""}, U"<div>x</div>", true},
      {{.id = ""}, U"<div id=\"x\">x</div>", false},
      {{.classes = std::vector<std::string>{"nope"}}, U"<div class=\"a\">x</div>", true},
  };
  for (const Case& c : cases) {
    Buffer buffer(c.input);
    Consumed got = consume(buffer, c.detector);
    EXPECT_EQ(got.matched, c.matches) << chars_to_string(c.input);
    if (got.matched) {
      EXPECT_EQ(got.result->detector, Detector(c.detector));
    }
  }
}

TEST(TagScopeDetectorTest, ElementRecordsAllAttributes) {
  const Chars text = U" <img src=\"a.png\" id=\"i\" class=\"c\" style=\"s\"/>";
  Buffer buffer(text);
  Consumed got = consume(buffer, TagScopeDetector{});
  ASSERT_TRUE(got.matched);
  EXPECT_TRUE(buffer.empty());
  EXPECT_FALSE(got.result->text.has_value());
  const Dict& a = *got.result->attributes;
  Dict attrs = Dict::from({{"src", std::string("a.png")}, {"id", std::string("i")},
                           {"class", std::string("c")}, {"style", std::string("s")}});
  EXPECT_EQ(a.get("attributes"), Value(attrs));
  EXPECT_EQ(a.get("is_self_closing"), Value(true));
  EXPECT_EQ(a.size(), 6u);
}

}  // namespace
}  // namespace quillet
