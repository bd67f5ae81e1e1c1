// Boolean detector: the four forms, nesting, results, and deep copies.
#include <gtest/gtest.h>

#include <memory>

#include "base/consumable.hpp"
#include "support/test_support.hpp"

namespace quillet {
namespace {

using namespace test;

const Detector kNumber = NumberDetector{};
const Detector kInteger = NumberDetector{.floating = false};
const Detector kFloat = NumberDetector{.floating = true};
const Detector kUnsigned = NumberDetector{.unsigned_only = true};

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
      {any_of({kUnsigned, kInteger}), "-5", "Ni=-5"},  // the listed detector's own result
      {any_of({kInteger, kFloat}), "2.5", "Ni=2"},     // the first in list order wins
      {any_of({lit("<"), lit("a")}), "a<", "'a'"},
      {all_of({}), "abc", "B[abc]{}"},
      {all_of({}), "", "B[]{}"},
      {all_of({kInteger, kFloat, kNumber}), "1.5.", "B[1.5.]{Ni=1 Nf=1.5 Nf=1.5}"},  // all from the front
      {all_of({lit("a"), ident}), "ab c", "B[ab c]{'a' W[ab]}"},
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
      {any_of({all_of({kNumber, kUnsigned})}), "7", "B[7]{Ni=7 Ni=7}"},
      {any_of({all_of({kNumber, kUnsigned}), kNumber}), "-7", "Ni=-7"},
      {all_of({not_(kUnsigned), any_of({kUnsigned, kNumber})}), "-7.5", "B[-7.5]{B[-7.5] Nf=-7.5}"},
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
