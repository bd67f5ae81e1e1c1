// Helpers shared by the C++ tests: short constructors for detectors and one
// rendering of result lists, so that expected results read as one line.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/consumable.hpp"

namespace quillet::test {

using List = std::vector<Detector>;

// A literal word.
inline WordDetector lit(std::string word) {
  WordDetector detector;
  detector.word = std::move(word);
  return detector;
}

inline Detector scope(Detector start, Detector end) {
  return ScopeDetector(std::move(start), std::move(end));
}
inline Detector any_of(List d) { return BooleanDetector{BooleanDetector::AnyOf{std::move(d)}}; }
inline Detector all_of(List d) { return BooleanDetector{BooleanDetector::AllOf{std::move(d)}}; }
inline Detector none_of(List d) { return BooleanDetector{BooleanDetector::NoneOf{std::move(d)}}; }
inline Detector not_(Detector d) { return BooleanDetector{BooleanDetector::Not{std::move(d)}}; }

inline std::string render(const std::vector<Result>& results);

// An element's id, classes and style, when they are not the defaults, as
// "(id=i classes=[a][b] style=s)"; empty otherwise.
inline std::string render_element_attributes(const Dict& a) {
  std::string out;
  const std::string id = *a.get("id").to_str();
  if (!id.empty()) out.append(" id=").append(id);
  const Value classes = a.get("classes");
  const auto& list = std::get<Value::Array>(classes.data);
  if (!(list.size() == 1 && list[0] == Value(""))) {
    out.append(" classes=");
    for (const Value& c : list) out.append("[").append(*c.to_str()).append("]");
  }
  const std::string style = *a.get("style").to_str();
  if (!style.empty()) out.append(" style=").append(style);
  if (!out.empty()) out.replace(0, 1, "(").append(")");
  return out;
}

// One result: a text run as |text|; a literal word as 'w', a class word as
// W; a number as Ni=v or Nf=v; a scope as S'start word' (S? when its start is
// no literal word); a boolean form as B; an element as its tag, "/" when
// self-closing, then its id, classes and style in parentheses when set; any
// other detector as ?. Then [text] when the result keeps a text (text runs
// and literal words aside), and {children} when it has children. (Strings are
// built by appending where GCC 12 warns falsely about operator+.)
inline std::string render(const Result& r) {
  if (r.is_text_run()) return "|" + chars_to_string(*r.text) + "|";
  std::string out;
  bool show_text = true;
  if (const auto* w = r.detector.get_if<WordDetector>()) {
    out = w->word ? "'" + *w->word + "'" : "W";
    show_text = !w->word;
  } else if (r.detector.is<NumberDetector>()) {
    const Value n = r.attributes->get("number");
    out = std::string(n.kind() == Value::Kind::Integer ? "Ni=" : "Nf=") + n.to_str().value();
  } else if (const auto* s = r.detector.get_if<ScopeDetector>()) {
    const auto* start = s->start->get_if<WordDetector>();
    out = "S" + (start && start->word ? "'" + *start->word + "'" : std::string("?"));
  } else if (r.detector.is<BooleanDetector>()) {
    out = "B";
  } else if (r.detector.is<TagScopeDetector>()) {
    const Dict& a = *r.attributes;
    out = *a.get("tag").to_str() + (a.get("is_self_closing") == Value(true) ? "/" : "") +
          render_element_attributes(a);
  } else {
    out = "?";
  }
  if (show_text && r.text) out.append("[").append(chars_to_string(*r.text)).append("]");
  if (r.children) out.append("{").append(render(*r.children)).append("}");
  return out;
}

// The results separated by spaces; also checks that text runs are never
// empty, never side by side, and carry no attributes or children.
inline std::string render(const std::vector<Result>& results) {
  std::string out;
  bool after_run = false;
  for (const Result& r : results) {
    if (r.is_text_run()) {
      EXPECT_FALSE(after_run) << "two text runs side by side after: " << out;
      EXPECT_FALSE(r.text->empty()) << "empty text run after: " << out;
      EXPECT_FALSE(r.attributes || r.children) << out;
    }
    after_run = r.is_text_run();
    if (!out.empty()) out.append(" ");
    out.append(render(r));
  }
  return out;
}

// A scan's results, or <absent> when it found nothing (an empty text).
inline std::string render(const std::optional<std::vector<Result>>& results) {
  return results ? render(*results) : "<absent>";
}

}  // namespace quillet::test
