// The bracket and surrogate kernels against the portable one, and the
// searches built on them against plain loops, in every storage width.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "fast_parse/structural.hpp"

namespace quillet::fast {
namespace {

// Characters next to the ones looked for, in every byte of a wide unit:
// a kernel that compares too few bits, or packs lanes out of order, shows.
template <class CharT>
std::vector<CharT> alphabet() {
  std::vector<std::uint32_t> wide = {'<', '>', 'a', ' ', 0x3D, 0x3E3E, 0x013C, 0x3C00, 0x3C3C, 0xFF3C,
                                     0xD7FF, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xE000, 0xF8D8,
                                     0x1003C, 0x1D800, 0x3C0000, 0x10FFFF};
  std::vector<CharT> out;
  for (const std::uint32_t c : wide)
    if (c <= static_cast<std::uint32_t>(static_cast<CharT>(~CharT{0}))) out.push_back(static_cast<CharT>(c));
  return out;
}

template <class CharT>
void kernels_agree() {
  const auto pieces = alphabet<CharT>();
  const auto kernels = bracket_kernels<CharT>();
  ASSERT_EQ(kernels.front().name, "portable");
  std::mt19937 rng(7);
  std::vector<CharT> block(kBlockChars);
  for (int round = 0; round < 4000; ++round) {
    // Mostly plain text with a few chosen characters, or dense with them.
    const int density = round % 4 == 0 ? 64 : 3;
    for (auto& c : block) c = rng() % 64 < static_cast<unsigned>(density) ? pieces[rng() % pieces.size()] : 'x';
    std::uint64_t want_surrogates = 0;
    const std::uint64_t want = kernels.front().mask(block.data(), want_surrogates);
    std::uint64_t by_loop = 0;
    bool any_surrogate = false;
    for (std::size_t i = 0; i < kBlockChars; ++i) {
      by_loop |= static_cast<std::uint64_t>(block[i] == '<' || block[i] == '>') << i;
      any_surrogate |= sizeof(CharT) > 1 && is_surrogate(block[i]);
    }
    ASSERT_EQ(want, by_loop);
    ASSERT_EQ(want_surrogates != 0, any_surrogate);
    for (const auto& kernel : kernels) {
      std::uint64_t surrogates = 0;
      ASSERT_EQ(kernel.mask(block.data(), surrogates), want) << kernel.name << " round " << round;
      ASSERT_EQ(surrogates != 0, any_surrogate) << kernel.name << " round " << round;
    }
  }
}

template <class CharT>
void searches_agree() {
  const auto pieces = alphabet<CharT>();
  std::mt19937 rng(11);
  for (int round = 0; round < 300; ++round) {
    // Lengths around the block size and the 16-character steps of the search.
    std::vector<CharT> text(rng() % 200);
    for (auto& c : text) c = rng() % 8 == 0 ? pieces[rng() % pieces.size()] : 'x';
    std::vector<std::size_t> want, got;
    bool surrogate = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '<' || text[i] == '>') want.push_back(i);
      surrogate |= sizeof(CharT) > 1 && is_surrogate(text[i]);
    }
    EXPECT_EQ(for_each_bracket(text.data(), text.size(), [&](std::size_t i) { got.push_back(i); }), surrogate);
    EXPECT_EQ(got, want);
    for (std::size_t from = 0; from <= text.size(); from += 1 + rng() % 20) {
      std::size_t first = from;
      while (first < text.size() && text[first] != '<') ++first;
      EXPECT_EQ(find_char(text.data(), from, text.size(), static_cast<CharT>('<')), first);
    }
  }
}

TEST(StructuralTest, EveryKernelGivesThePortableMasks) {
  kernels_agree<std::uint8_t>();
  kernels_agree<std::uint16_t>();
  kernels_agree<std::uint32_t>();
}

TEST(StructuralTest, BracketWalkAndCharacterSearchMatchPlainLoops) {
  searches_agree<std::uint8_t>();
  searches_agree<std::uint16_t>();
  searches_agree<std::uint32_t>();
}

}  // namespace
}  // namespace quillet::fast
