// Boolean detector: the four forms, nesting, results, and deep copies.
#include <gtest/gtest.h>

#include <memory>

#include "base/consumable.hpp"

namespace quillet {
namespace {

using List = std::vector<Detector>;

Detector lit(const char* w) { return WordDetector{w, std::nullopt, std::nullopt}; }
Detector any_of(List d) { return BooleanDetector{BooleanDetector::AnyOf{std::move(d)}}; }
Detector all_of(List d) { return BooleanDetector{BooleanDetector::AllOf{std::move(d)}}; }
Detector none_of(List d) { return BooleanDetector{BooleanDetector::NoneOf{std::move(d)}}; }
Detector not_(Detector d) { return BooleanDetector{BooleanDetector::Not{std::move(d)}}; }

const Detector kNumber = NumberDetector{};
const Detector kInteger = NumberDetector{.floating = false};
const Detector kFloat = NumberDetector{.floating = true};
const Detector kUnsigned = NumberDetector{.unsigned_only = true};

// A result in one line: the producing detector's kind, then what it found.
// "W'x'" a literal word, "W<abc>" a class word, "N=12" a number, "B" a
// boolean form; "[text]" and "{children}" when present.
std::string render(const Result& r) {
  std::string out;
  if (const auto* w = r.detector.get_if<WordDetector>()) {
    out = w->word ? "W'" + *w->word + "'" : "W<" + chars_to_string(*r.text) + ">";
  } else if (r.detector.is<NumberDetector>()) {
    out = "N=" + r.attributes->get("number").to_str().value();
  } else if (r.detector.is<BooleanDetector>()) {
    out = "B";
    if (r.text) out += "[" + chars_to_string(*r.text) + "]";
  } else {
    out = "?";
  }
  if (r.children) {
    out += "{";
    for (std::size_t i = 0; i < r.children->size(); ++i) out += (i ? " " : "") + render((*r.children)[i]);
    out += "}";
  }
  return out;
}

struct BooleanCase {
  Detector detector;
  const char* input;
  std::optional<std::string> rendered;  // absent: no match
};

// Runs each case through `consume`: nothing is ever consumed, and a form that
// builds its own result records a copy of itself and no attributes.
void check_all(const std::vector<BooleanCase>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("input '") + c.input + "'");
    const Chars input = from_string(c.input);
    Buffer buffer(input);
    Consumed got = consume(buffer, c.detector);
    EXPECT_EQ(buffer.size(), input.size());
    ASSERT_EQ(got.matched, c.rendered.has_value());
    if (!got.matched) continue;
    EXPECT_EQ(got.text, "");
    EXPECT_EQ(render(*got.result), *c.rendered);
    if (c.detector.get_if<BooleanDetector>()->form.index() != 0) {  // AnyOf passes a result on
      EXPECT_EQ(got.result->detector, c.detector);
      EXPECT_FALSE(got.result->attributes.has_value());
    }
  }
}

TEST(BooleanDetectorTest, Forms) {
  const Detector ident = identifier_detector();
  check_all({
      {any_of({}), "1", std::nullopt},
      {any_of({kUnsigned, kInteger}), "-5", "N=-5"},  // the listed detector's own result
      {any_of({kInteger, kFloat}), "2.5", "N=2"},     // the first in list order wins
      {any_of({lit("<"), lit("a")}), "a<", "W'a'"},
      {all_of({}), "abc", "B[abc]{}"},
      {all_of({}), "", "B[]{}"},
      {all_of({kInteger, kFloat, kNumber}), "1.5.", "B[1.5.]{N=1 N=1.5 N=1.5}"},  // all from the front
      {all_of({lit("a"), ident}), "ab c", "B[ab c]{W'a' W<ab>}"},
      {all_of({lit("<"), ident}), "<a", std::nullopt},
      {all_of({kUnsigned, kInteger}), "-1", std::nullopt},
      {none_of({}), "x", "B[x]"},
      {none_of({kUnsigned}), "-1 2", "B[-1 2]"},
      {none_of({kUnsigned, kNumber}), "-1", std::nullopt},
      {not_(kNumber), "x1", "B[x1]"},
      {not_(kNumber), "1x", std::nullopt},
      {not_(lit("<")), "", "B[]"},
      {not_(lit("")), "abc", std::nullopt},  // the empty word matches everywhere
  });
}

TEST(BooleanDetectorTest, NestedForms) {
  check_all({
      // Not of Not: a look-ahead that keeps the whole buffer as its text.
      {not_(not_(kNumber)), "7x", "B[7x]"},
      {not_(not_(kNumber)), "x7", std::nullopt},
      // AnyOf hands back the inner form's result, children and all.
      {any_of({all_of({kNumber, kUnsigned})}), "7", "B[7]{N=7 N=7}"},
      {any_of({all_of({kNumber, kUnsigned}), kNumber}), "-7", "N=-7"},
      {all_of({not_(kUnsigned), any_of({kUnsigned, kNumber})}), "-7.5", "B[-7.5]{B[-7.5] N=-7.5}"},
      {all_of({all_of({}), none_of({})}), "q", "B[q]{B[q]{} B[q]}"},
      {none_of({all_of({})}), "q", std::nullopt},  // an empty AllOf matches everywhere
      {none_of({none_of({kNumber})}), "1", "B[1]"},
      {not_(any_of({lit("a"), kNumber})), "1b", std::nullopt},
  });
}

// A copy owns its whole tree: the source can be changed or destroyed and the
// copy still detects as before.
TEST(BooleanDetectorTest, CopiesAreDeepDownToScopes) {
  auto source = std::make_unique<Detector>(any_of({
      ScopeDetector(lit("("), lit(")")),
      not_(ScopeDetector(all_of({lit("[")}), lit("]"))),
  }));
  const Detector copy = *source;
  EXPECT_EQ(copy, *source);

  auto& list = std::get<BooleanDetector::AnyOf>(std::get<BooleanDetector>(source->kind).form).detectors;
  const auto* source_scope = list[0].get_if<ScopeDetector>();
  const auto* copy_scope =
      std::get<BooleanDetector::AnyOf>(copy.get_if<BooleanDetector>()->form).detectors[0].get_if<ScopeDetector>();
  EXPECT_NE(&*source_scope->start, &*copy_scope->start);

  std::get<WordDetector>(std::get<ScopeDetector>(list[0].kind).start->kind).word = "{";
  EXPECT_NE(copy, *source);
  source.reset();

  const Chars input = from_string("(a)");
  Buffer buffer(input);
  Consumed got = consume(buffer, copy);
  ASSERT_TRUE(got.matched);
  EXPECT_EQ(got.result->text, Chars(U"a"));
  EXPECT_EQ(buffer.size(), input.size());
}

}  // namespace
}  // namespace quillet
