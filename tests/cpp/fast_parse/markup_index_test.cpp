// The pieces of indexing that stand apart from the text: the sort of tags
// that arrive out of order, the repeated-key check, and checked growth,
// each against the standard library or an obvious loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "fast_parse/markup_index.hpp"

namespace quillet::fast {
namespace {

// Starts of pending tags, by shape: the radix sort reads them sixteen bits
// at a time, so keys that differ only in one half, and runs of equal keys,
// are where a wrong digit order or an unstable pass shows.
enum class Keys { random, few, equal, sorted, reversed, low_half, high_half, around_digit };

Pos key(Keys shape, std::size_t i, std::size_t n, std::mt19937& rng) {
  switch (shape) {
    case Keys::random: return static_cast<Pos>(rng());
    case Keys::few: return static_cast<Pos>(rng() % 4) * 0x10001u;
    case Keys::equal: return 77;
    case Keys::sorted: return static_cast<Pos>(i * 3);
    case Keys::reversed: return static_cast<Pos>((n - i) * 0x10003u);
    case Keys::low_half: return static_cast<Pos>(rng() & 0xFFFFu);
    case Keys::high_half: return static_cast<Pos>(rng() << 16);
    case Keys::around_digit: return 0xFFFEu + static_cast<Pos>(rng() % 4);  // 0xFFFE to 0x10001
  }
  return 0;
}

class SortByStart : public ::testing::TestWithParam<std::tuple<Keys, std::size_t>> {};

TEST_P(SortByStart, MatchesStableSort) {
  const auto [shape, n] = GetParam();
  std::mt19937 rng(static_cast<unsigned>(n) * 31 + static_cast<unsigned>(shape));
  std::vector<PendingTag> items(n), scratch;
  for (std::size_t i = 0; i < n; ++i) {
    items[i].tag.start = key(shape, i, n, rng);
    items[i].attributes = Span{static_cast<Pos>(i), static_cast<Pos>(i)};  // where it came from
  }
  std::vector<PendingTag> want = items;
  std::stable_sort(want.begin(), want.end(), [](const auto& a, const auto& b) { return a.tag.start < b.tag.start; });
  std::size_t checks = 0;
  sort_by_start(items, scratch, Checkpoint([](void* c) { ++*static_cast<std::size_t*>(c); }, &checks));
  ASSERT_EQ(items.size(), n);
  for (std::size_t i = 0; i < n; ++i) {
    ASSERT_EQ(items[i].tag.start, want[i].tag.start) << i;
    ASSERT_EQ(items[i].attributes.begin, want[i].attributes.begin) << i;
  }
  EXPECT_GE(checks, n / kTagsPerCheck);
}

INSTANTIATE_TEST_SUITE_P(ShapesAndSizes, SortByStart,
                         ::testing::Combine(::testing::Values(Keys::random, Keys::few, Keys::equal, Keys::sorted,
                                                              Keys::reversed, Keys::low_half, Keys::high_half,
                                                              Keys::around_digit),
                                            ::testing::Values(0, 1, 2, 17, 65535, 65536, 65537, 200000)));

// `count` distinct keys over a small alphabet (so that hashes share slots
// and keys share prefixes), some longer than the hash's eight-byte steps,
// and with `repeat` one of them written a second time somewhere in the list.
template <class CharT>
void repeated_key_agrees(std::size_t count, bool repeat, unsigned seed) {
  std::mt19937 rng(seed);
  std::set<std::string> distinct;
  std::vector<std::string> keys;
  while (keys.size() < count - repeat) {
    std::string k(1 + rng() % (rng() % 4 == 0 ? 20 : 6), 'a');
    for (char& c : k) c = "ab-_"[rng() % 4];
    if (distinct.insert(k).second) keys.push_back(k);
  }
  if (repeat) keys.insert(keys.begin() + rng() % (keys.size() + 1), keys[rng() % keys.size()]);
  std::vector<CharT> text;
  std::vector<Attribute> attributes;
  for (const std::string& k : keys) {
    const auto begin = static_cast<Pos>(text.size());
    for (char c : k) text.push_back(static_cast<CharT>(static_cast<unsigned char>(c)));
    attributes.push_back(Attribute{Span{begin, static_cast<Pos>(text.size())}, Span{}});
    text.push_back(' ');
  }
  bool want = false;  // every pair, compared as strings
  for (std::size_t a = 0; a < keys.size(); ++a)
    for (std::size_t b = 0; b < a; ++b) want |= keys[a] == keys[b];
  ASSERT_EQ(want, repeat);
  std::vector<Pos> table;
  EXPECT_EQ(has_repeated_key(text.data(), attributes.data(), attributes.size(), table, Checkpoint()), want)
      << count << " keys, seed " << seed;
}

class RepeatedKey : public ::testing::TestWithParam<std::tuple<std::size_t, bool>> {};

TEST_P(RepeatedKey, MatchesEveryPairCompared) {
  const auto [count, repeat] = GetParam();
  for (unsigned seed = 0; seed < 30; ++seed) {
    repeated_key_agrees<std::uint8_t>(count, repeat, seed);
    repeated_key_agrees<char32_t>(count, repeat, seed);
  }
}

INSTANTIATE_TEST_SUITE_P(Counts, RepeatedKey,
                         ::testing::Combine(::testing::Values(2, 8, 9, 17, 1000), ::testing::Bool()));

// Tags longer than a stride, long in each part a tag has: each reads as the
// same shape does at a few dozen characters (the tags and attributes it is
// made of), and reading it calls the checkpoint along the way, about once a
// stride, on top of the checks of the bracket scan over the same text.
struct LongTag {
  const char* name;
  std::string (*make)(std::size_t units);  // a text of about `units` characters
  std::size_t tags;                        // valid tags in it
  bool closing, self_closing;
  std::size_t attributes;                  // of the first tag, kNone for `units / 8`
};

std::string spaces(std::size_t n) { return std::string(n, ' '); }
std::string distinct_keys(std::size_t units) {
  std::string out = "<a";
  for (std::size_t i = 0; i < units / 8; ++i) out += " k" + std::to_string(10000000 + i).substr(1) + "=\"\"";
  return out;
}
std::string distinct_keys_closed(std::size_t units) { return distinct_keys(units) + "></a>"; }

const LongTag kLongTags[] = {
    {"many_attributes", [](std::size_t n) { return distinct_keys(n) + ">"; }, 1, false, false, kNone},
    {"many_attributes_self_closing", [](std::size_t n) { return distinct_keys(n) + " />"; }, 1, false, true, kNone},
    {"many_attributes_closed", distinct_keys_closed, 2, false, false, kNone},
    {"repeated_key", [](std::size_t n) {
       std::string out = "<a";
       for (std::size_t i = 0; i < n / 5; ++i) out += " k=\"\"";
       return out + ">";
     }, 0, false, false, 0},
    {"long_value", [](std::size_t n) { return "<a k=\"" + std::string(n, 'v') + "\">"; }, 1, false, false, 1},
    {"long_name", [](std::size_t n) { return "<" + std::string(n, 'a') + ">"; }, 1, false, false, 0},
    {"long_key", [](std::size_t n) { return "<a " + std::string(n, 'k') + "=\"\">"; }, 1, false, false, 1},
    // Two long keys of one length: distinct when their last characters
    // differ, a repeated key (no tag) when they do not.
    {"long_keys_differing_at_the_end",
     [](std::size_t n) {
       return "<a " + std::string(n / 2, 'k') + "1=\"\" " + std::string(n / 2, 'k') + "2=\"\">";
     },
     1, false, false, 2},
    {"long_key_repeated",
     [](std::size_t n) {
       return "<a " + std::string(n / 2, 'k') + "=\"\" " + std::string(n / 2, 'k') + "=\"\">";
     },
     0, false, false, 0},
    {"spaces_in_tag", [](std::size_t n) { return "<a" + spaces(n) + "/>"; }, 1, false, true, 0},
    {"spaces_around_equals",
     [](std::size_t n) {
       return "<a" + spaces(n / 4) + "k" + spaces(n / 4) + "=" + spaces(n / 4) + "\"v\"" + spaces(n / 4) + ">";
     },
     1, false, false, 1},
    {"spaces_in_closing", [](std::size_t n) { return "</" + spaces(n / 2) + "a" + spaces(n / 2) + ">"; },
     1, true, false, 0},
    {"unfinished_attribute", [](std::size_t n) { return "<a k" + spaces(n) + "=" + spaces(n) + ">"; },
     0, false, false, 0},
};

void PrintTo(const LongTag& shape, std::ostream* out) { *out << shape.name; }

class LongTagTest : public ::testing::TestWithParam<LongTag> {};

TEST_P(LongTagTest, IsReadAsAShortOneWithChecksOnTheWay) {
  const LongTag& shape = GetParam();
  auto counting = [](void* c) { ++*static_cast<std::size_t*>(c); };
  for (const std::size_t units : {std::size_t{40}, 3 * kCharsPerCheck}) {
    const std::string made = shape.make(units);
    const std::vector<std::uint8_t> text(made.begin(), made.end());
    std::size_t checks = 0;
    const MarkupIndex<std::uint8_t> index(text.data(), static_cast<Pos>(text.size()), Checkpoint(counting, &checks));
    // The bracket scan alone checks once a stride; reading the tag adds
    // about as many more (a check may throw, so one that never comes is a
    // stretch no signal handler can end).
    const std::size_t strides = text.size() / kCharsPerCheck;
    if (strides >= 2) {
      EXPECT_GE(checks, 2 * strides - 1) << units;
    }
    ASSERT_EQ(index.tags().size(), shape.tags) << units;
    if (shape.tags == 0) continue;
    const Tag& tag = index.tags()[0];
    EXPECT_EQ(tag.start, 0u);
    EXPECT_EQ(bool(tag.closing), shape.closing);
    EXPECT_EQ(bool(tag.self_closing), shape.self_closing);
    const std::size_t attributes = shape.attributes == kNone ? units / 8 : shape.attributes;
    ASSERT_EQ(index.attributes(0).size(), attributes) << units;
    for (const Attribute& a : index.attributes(0)) {
      EXPECT_EQ(text[a.key.end], shape.name == std::string("spaces_around_equals") ? ' ' : '=');
      EXPECT_EQ(text[a.value.begin - 1], '"');
      EXPECT_EQ(text[a.value.end], '"');
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, LongTagTest, ::testing::ValuesIn(kLongTags),
                         [](const auto& info) { return std::string(info.param.name); });

// Growth past the stride moves everything, checks on the way, and a check
// that throws leaves the array as it was.
TEST(CheckedGrowth, KeepsTheElementsAndStopsCleanly) {
  for (const std::size_t n : {std::size_t{0}, std::size_t{5}, kTagsPerCheck, 3 * kTagsPerCheck + 7}) {
    std::vector<Pos> v;
    for (std::size_t i = 0; i < n; ++i) v.push_back(static_cast<Pos>(i * 7));
    const std::vector<Pos> before = v;
    std::size_t checks = 0;
    auto counting = [](void* c) { ++*static_cast<std::size_t*>(c); };
    reserve_checked(v, 2 * n + 1, Checkpoint(counting, &checks));
    EXPECT_EQ(v, before);
    EXPECT_GE(v.capacity(), 2 * n + 1);
    EXPECT_EQ(checks, n == 0 ? 0 : (n - 1) / kTagsPerCheck);

    // A throwing check: only a growth that moves more than a stride meets it.
    std::vector<Pos> w = before;
    w.shrink_to_fit();
    const Checkpoint throwing([](void*) { throw 1; }, nullptr);
    if (n > kTagsPerCheck) {
      EXPECT_THROW(push_checked(w, Pos{1}, throwing), int);
    } else {
      push_checked(w, Pos{1}, throwing);
      w.pop_back();
    }
    EXPECT_EQ(w, before);
  }
}

}  // namespace
}  // namespace quillet::fast
