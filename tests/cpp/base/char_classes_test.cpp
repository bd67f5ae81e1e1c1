// Character classes: both grammars read them from one place, so the
// differential tests cannot see a fault in them. Each class is checked here
// against its members written out as ranges, for every character type the
// parsers use, over every value up to U+10FFFF.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "base/char_classes.hpp"

namespace quillet {
namespace {

struct Range {
  char32_t lo, hi;
};

struct ClassCase {
  const char* name;
  std::vector<Range> members;
  bool space;                    // is_space, else is_name_char
  std::u32string_view alphabet;  // the same class as the detectors list it
};

const std::vector<ClassCase> kClasses = {
    {"space", {{U' ', U' '}, {U'\n', U'\n'}, {U'\t', U'\t'}, {U'\r', U'\r'}},
     true, char_class::kWhitespace},
    {"name", {{U'a', U'z'}, {U'A', U'Z'}, {U'0', U'9'}, {U'_', U'_'}, {U'-', U'-'}},
     false, char_class::kNameChars},
};

template <class CharT>
bool member(const ClassCase& k, CharT c) {
  return k.space ? char_class::is_space(c) : char_class::is_name_char(c);
}

bool in_ranges(const std::vector<Range>& ranges, std::uint64_t c) {
  for (const Range& r : ranges)
    if (c >= r.lo && c <= r.hi) return true;
  return false;
}

// Near misses: Unicode spaces and format characters, letters and digits
// outside ASCII (some fold to ASCII letters), and values whose low bits are
// those of a member.
constexpr char32_t kOutsiders[] = {
    0x00,   0x0B,   0x0C,   0x1C,   0x1F,   0x7F,   0x80,   0x85,   0xA0,    0xAD,    0xB2,   0xDF,
    0xE9,   0x120,  0x130,  0x161,  0x17F,  0x660,  0x1680, 0x2000, 0x2001,  0x2007,  0x200A, 0x200B,
    0x2010, 0x2028, 0x2029, 0x202F, 0x205F, 0x2212, 0x212A, 0x3000, 0xFEFF,  0xFF21,  0xFF3F, 0x10041,
    0x1D400, 0x10FFFF};

// Whether the class functions agree with the ranges on every value of CharT
// up to `last`.
template <class CharT>
void expect_exact(std::uint32_t last) {
  for (const ClassCase& k : kClasses) {
    std::uint32_t wrong = 0;
    for (std::uint64_t c = 0; c <= last; ++c) {
      const bool got = member(k, static_cast<CharT>(c));
      if (got != in_ranges(k.members, c) && wrong++ < 5) ADD_FAILURE() << k.name << " " << std::hex << c;
    }
  }
}

TEST(CharClassesTest, EveryValueOfEveryCharacterType) {
  expect_exact<std::uint8_t>(0xFF);
  expect_exact<std::uint16_t>(0xFFFF);
  expect_exact<std::uint32_t>(0x10FFFF);
  expect_exact<char32_t>(0x10FFFF);
  // A signed char above 0x7F is a byte of a longer UTF-8 sequence.
  expect_exact<unsigned char>(0xFF);
  for (const ClassCase& k : kClasses) {
    for (int c = std::numeric_limits<signed char>::min(); c < 0; ++c)
      EXPECT_FALSE(member(k, static_cast<char>(c))) << k.name << " " << c;
    for (const std::uint32_t c : {0x80000020u, 0xFFFFFF61u, 0xFFFFFFFFu})
      EXPECT_FALSE(member(k, c)) << k.name << " " << std::hex << c;
  }
}

TEST(CharClassesTest, RangeNeighboursAndNearMissesAreOutside) {
  for (const ClassCase& k : kClasses) {
    std::vector<char32_t> outside(std::begin(kOutsiders), std::end(kOutsiders));
    for (const Range& r : k.members) outside.insert(outside.end(), {r.lo - 1, r.hi + 1});
    for (const Range& r : k.members)
      for (char32_t c = r.lo; c <= r.hi; ++c) EXPECT_TRUE(member(k, c)) << k.name << " " << std::uint32_t(c);
    for (const char32_t c : outside) {
      if (in_ranges(k.members, c)) continue;  // a neighbour in the class's next range
      EXPECT_FALSE(member(k, c)) << k.name << " " << std::uint32_t(c);
    }
  }
}

// The alphabets hold each member once and nothing else.
TEST(CharClassesTest, AlphabetsListExactlyTheMembers) {
  for (const ClassCase& k : kClasses) {
    std::set<char32_t> expected;
    for (const Range& r : k.members)
      for (char32_t c = r.lo; c <= r.hi; ++c) expected.insert(c);
    const std::set<char32_t> listed(k.alphabet.begin(), k.alphabet.end());
    EXPECT_EQ(listed, expected) << k.name;
    EXPECT_EQ(k.alphabet.size(), expected.size()) << k.name;
  }
}

}  // namespace
}  // namespace quillet
