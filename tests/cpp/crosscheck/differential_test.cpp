// The fast element scan against the step-by-step detectors, on generated text.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "base/consumable.hpp"
#include "crosscheck/result_builder.hpp"
#include "support/markup_inputs.hpp"
#include "support/test_support.hpp"

namespace quillet {
namespace {

using namespace test;

std::optional<std::vector<Result>> reference(const Chars& text) {
  Buffer buffer(text);
  return consume_any(buffer, {TagScopeDetector{}});
}

void expect_same(const std::u32string& text) {
  const auto want = reference(text);
  const auto got = fast::parse_results(text);
  ASSERT_EQ(got.has_value(), want.has_value()) << chars_to_string(text);
  if (want) {
    ASSERT_TRUE(*got == *want) << chars_to_string(text) << "\nfast:      " << render(*got)
                               << "\nreference: " << render(*want);
  }
}

// The hand-picked cases of tests/data/markup_inputs.txt, and the empty text.
TEST(DifferentialTest, HandPickedCases) {
  expect_same(U"");
  for (const auto& c : cases()) expect_same(c);
}

TEST(DifferentialTest, RandomMarkup) {
  // QUILLET_DIFF_CASES raises the count for long local runs.
  const char* env = std::getenv("QUILLET_DIFF_CASES");
  const int cases = env ? std::atoi(env) : 3000;
  const char* seed_env = std::getenv("QUILLET_DIFF_SEED");
  std::mt19937 rng(seed_env ? static_cast<unsigned>(std::atoi(seed_env)) : 12345u);
  std::uniform_int_distribution<std::size_t> length(0, 40);
  for (int i = 0; i < cases; ++i) {
    expect_same(random_text(rng, length(rng)));
    if (HasFatalFailure()) return;
  }
}

// The input families of tests/data/markup_inputs.txt in small sizes, each
// mixed with a random tail so that closings come late, early or never.
TEST(DifferentialTest, Families) {
  std::mt19937 rng(99);
  for (std::size_t n : {1, 2, 3, 5, 8}) {
    for (const auto& base : families(n)) {
      expect_same(base);
      for (int k = 0; k < 20; ++k) expect_same(base + random_text(rng, 6));
      for (int k = 0; k < 20; ++k) expect_same(random_text(rng, 4) + base + random_text(rng, 4));
      if (HasFatalFailure()) return;
    }
  }
}

}  // namespace
}  // namespace quillet
