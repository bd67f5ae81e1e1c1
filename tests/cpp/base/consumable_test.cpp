// consume and consume_any: what is removed, result order, text runs, deep nesting.
#include <gtest/gtest.h>
#include <pthread.h>

#include "base/consumable.hpp"
#include "support/test_support.hpp"

namespace quillet {
namespace {

using namespace test;

Detector parens() { return ScopeDetector(lit("("), lit(")")); }

TEST(ConsumeTest, RemovesWhatTheMatchConsumedOrNothing) {
  const std::vector<std::tuple<const char*, std::optional<std::string>, const char*>> cases = {
      {"abc", "ab", "c"}, {"xbc", std::nullopt, "xbc"}, {"a", std::nullopt, "a"}, {"ab", "ab", ""}};
  for (const auto& [in, consumed, rest] : cases) {
    const Chars input = from_string(in);
    Buffer buffer(input);
    Consumed got = consume(buffer, lit("ab"));
    EXPECT_EQ(got.text, consumed) << in;
    EXPECT_EQ(got.result.has_value(), consumed.has_value()) << in;
    EXPECT_EQ(chars_to_string(buffer.view()), rest) << in;
  }
}

struct ScanCase {
  std::vector<Detector> detectors;
  const char* input;
  const char* rendered;
};

TEST(ConsumeAnyTest, ScansEveryPositionInListOrder) {
  const std::vector<ScanCase> cases = {
      {{lit("x"), lit("y")}, "xy", "'x' 'y'"},
      {{lit("x"), lit("y")}, "yx", "'y' 'x'"},
      {{}, "abc", "|abc|"},
      {{lit("x")}, "axbxxc", "|a| 'x' |b| 'x' 'x' |c|"},
      {{lit("x")}, "aaa", "|aaa|"},
      {{lit("😀")}, "a😀b😀", "|a| '😀' |b| '😀'"},
      {{lit(""), lit("x")}, "ax", "|a| 'x'"},  // an empty match does not count
      {{parens()}, "a(b(c)d)e", "|a| S'('[b(c)d]{|b| S'('[c]{|c|} |d|} |e|"},
      {{parens()}, "(()x)", "S'('[()x]{S'('[] |x|}"},  // an empty text is not scanned again
      {{parens(), lit("x")}, "(x)x(", "S'('[x]{'x'} 'x' |(|"},
  };
  for (const auto& c : cases) {
    const Chars input = from_string(c.input);
    Buffer buffer(input);
    auto got = consume_any(buffer, c.detectors);
    ASSERT_TRUE(got) << c.input;
    EXPECT_EQ(render(*got), c.rendered) << c.input;
    EXPECT_TRUE(buffer.empty()) << c.input;
  }
  Buffer empty;
  EXPECT_FALSE(consume_any(empty, {lit("x")}));
  EXPECT_EQ(from_string("a😀b").size(), 3u);  // one element per scalar value
}

TEST(ConsumeAnyTest, DeepNestingNeedsNoCallStack) {
  // Deep enough that one call frame per level overflows the small stack below;
  // not deeper, since every level scans its whole text again.
  static constexpr std::size_t kDepth = 3000;
  std::size_t depth = 0;
  // Scanning, and dropping the results, all on that small stack.
  auto body = [](void* arg) -> void* {
    const Chars input = Chars(kDepth, U'(') + Chars(kDepth, U')');
    Buffer buffer(input);
    auto results = consume_any(buffer, {parens()});
    for (auto* level = &*results; level && level->size() == 1;
         level = level->front().children ? &*level->front().children : nullptr)
      ++*static_cast<std::size_t*>(arg);
    return nullptr;
  };
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 256 * 1024);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attr, body, &depth), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  EXPECT_EQ(depth, kDepth);
}

}  // namespace
}  // namespace quillet
