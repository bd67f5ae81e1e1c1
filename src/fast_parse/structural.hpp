// Finding the characters that give markup its structure, many at a time.
//
// Conventions of this file:
//  1. A block is 64 characters of one storage width (1, 2 or 4 bytes); a
//     mask has bit i set when character i of the block is one looked for.
//  2. Every kernel gives the same masks as the portable one, which is the
//     definition; the fastest kernel the processor supports is chosen once,
//     at run time (SSE2 is the x86-64 baseline, AVX2 needs a check).
//  3. Characters wider than a byte compare whole: U+013C is not "<".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace quillet::fast {

inline constexpr std::size_t kBlockChars = 64;

// The mask of "<" and ">" in the 64 characters at `block`.
template <class CharT>
using BracketMask = std::uint64_t (*)(const CharT* block);

// One way of computing bracket masks.
template <class CharT>
struct BracketKernel {
  std::string_view name;
  BracketMask<CharT> mask;
};

// Every kernel this processor can run, the portable one first.
template <class CharT>
std::vector<BracketKernel<CharT>> bracket_kernels();

// The fastest of them, chosen on first use.
template <class CharT>
BracketMask<CharT> bracket_mask();

// The first position in [from, to) holding `c`, or `to`.
template <class CharT>
std::size_t find_char(const CharT* text, std::size_t from, std::size_t to, CharT c);

// Calls on_bracket(position) for every "<" and ">" in [0, size), in order.
template <class CharT, class OnBracket>
void for_each_bracket(const CharT* text, std::size_t size, OnBracket&& on_bracket) {
  const BracketMask<CharT> mask_of = bracket_mask<CharT>();
  std::size_t base = 0;
  for (; size - base >= kBlockChars; base += kBlockChars) {
    for (std::uint64_t mask = mask_of(text + base); mask != 0; mask &= mask - 1)
      on_bracket(base + static_cast<std::size_t>(__builtin_ctzll(mask)));
  }
  for (; base < size; ++base)
    if (text[base] == '<' || text[base] == '>') on_bracket(base);
}

}  // namespace quillet::fast
