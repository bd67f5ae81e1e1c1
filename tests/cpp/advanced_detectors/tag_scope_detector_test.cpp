// Tag scope detector and the element trees the scanning loop builds with it.
#include <gtest/gtest.h>

#include "base/consumable.hpp"

namespace quillet {
namespace {

// A compact rendering of a result list: text runs quoted, elements as
// name{attributes}[children], self-closing elements with a trailing "/".
std::string render(const std::optional<std::vector<Result>>& results);

std::string render_one(const Result& r) {
  std::string out;
  if (r.is_text_run()) {
    out.append("'").append(chars_to_string(*r.text)).append("'");
    return out;
  }
  const Dict& a = *r.attributes;
  out.append(*a.get("tag").to_str());
  if (a.get("is_self_closing") == Value(true)) out.append("/");
  std::string extra;
  const std::string id = *a.get("id").to_str();
  if (!id.empty()) extra.append(" id=").append(id);
  const Value classes = a.get("classes");
  const auto& list = std::get<Value::Array>(classes.data);
  if (!(list.size() == 1 && list[0] == Value(""))) {
    extra.append(" classes=");
    for (const Value& c : list) extra.append("[").append(*c.to_str()).append("]");
  }
  const std::string style = *a.get("style").to_str();
  if (!style.empty()) extra.append(" style=").append(style);
  if (!extra.empty()) out.append("{").append(extra, 1).append("}");
  if (r.children) out.append("[").append(render(r.children)).append("]");
  return out;
}

std::string render(const std::optional<std::vector<Result>>& results) {
  if (!results) return "<absent>";
  std::string out;
  for (const Result& r : *results) {
    if (!out.empty()) out.append(" ");
    out.append(render_one(r));
  }
  return out;
}

std::string parse(const std::string& text) {
  const Chars chars = from_string(text);
  Buffer buffer(chars);
  return render(consume_any(buffer, {TagScopeDetector{}}));
}

TEST(TagScopeDetectorTest, ElementTrees) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "<absent>"},
      {"hello", "'hello'"},
      {"<p class=\"a b\">Hi <b>x</b></p>!", "p{classes=[a][b]}['Hi' b['x']] '!'"},
      {"<p class=\"a b\">Hello <b>you</b>!</p>", "p{classes=[a][b]}['Hello' b['you'] '!']"},
      {"x<br/>y", "'x' br/ 'y'"},
      {"a <br/>", "'a' br/"},
      {"<p></p>", "p"},
      {"<br>", "'<br>'"},
      {"</p>", "'</p>'"},
      {"<p>unclosed", "'<p>unclosed'"},
      {"<a><a></a></a>", "a[a]"},
      {"<a><a/></a>", "'<a>' a/ '</a>'"},
      {"<p>x</P>", "'<p>x</P>'"},
      {"  <p>x</p>", "p['x']"},
      {"<p>x</p>  ", "p['x'] '  '"},
      {"<div x=\"1\" x=\"2\">a</div>", "'<div x=\"1\" x=\"2\">a</div>'"},
      {"<p>a <>b</p>", "p['a <>b']"},
      {"x <> y", "'x <> y'"},
      {"<p class=\"a  b\" id=\"i\" style=\"c: d\">t</p>", "p{id=i classes=[a][][b] style=c: d}['t']"},
      {"<p class=\" a\"></p>", "p{classes=[][a]}"},
      {"<p class=\"a\tb\"></p>", "p{classes=[a\tb]}"},
      {"<a title=\"</a>\">x</a>", "a['x']"},
      {"<ul><li>1<li>2</li></ul>", "ul['<li>1' li['2']]"},
      {"<a>\n <b/>\t</a>", "a[b/ '\t']"},
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
