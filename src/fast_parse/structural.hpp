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

// The mask of "<" and ">" in the 64 characters at `block`; the same pass
// sets some bit of `surrogates` when the block holds a surrogate (U+D800 to
// U+DFFF; 1-byte storage never does).
template <class CharT>
using BracketMask = std::uint64_t (*)(const CharT* block, std::uint64_t& surrogates);

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

// The first position in [from, to) holding `c`, or `to`, for runs of any
// length (memchr, or SSE2 on x86-64).
template <class CharT>
std::size_t find_char_long(const CharT* text, std::size_t from, std::size_t to, CharT c);

// The same, looking at the first few characters here: most values are short.
template <class CharT>
inline std::size_t find_char(const CharT* text, std::size_t from, std::size_t to, CharT c) {
  const std::size_t near = to - from < 16 ? to : from + 16;
  for (std::size_t i = from; i < near; ++i)
    if (text[i] == c) return i;
  return near == to ? to : find_char_long(text, near, to, c);
}

inline bool is_surrogate(std::uint32_t c) { return (c & 0xFFFFF800u) == 0xD800u; }

// Whether any of the `n` characters at `text` is a surrogate (U+D800 to
// U+DFFF). No early exit inside a block, so the compiler tests many at once.
template <class CharT>
inline bool has_surrogate(const CharT* text, std::size_t n) {
  if constexpr (sizeof(CharT) == 1) {
    return false;
  } else {
    CharT any = 0;  // of the character type: a bool accumulator defeats vectorisation
    for (std::size_t i = 0; i < n; ++i)
      any |= static_cast<CharT>((text[i] & static_cast<CharT>(0xFFFFF800u)) == static_cast<CharT>(0xD800u));
    return any != 0;
  }
}

// Calls on_bracket(position) for every "<" and ">" in [0, size), in order,
// and tells whether the text holds a surrogate: the same pass finds both.
template <class CharT, class OnBracket>
bool for_each_bracket(const CharT* text, std::size_t size, OnBracket&& on_bracket) {
  const BracketMask<CharT> mask_of = bracket_mask<CharT>();
  std::uint64_t surrogates = 0;
  std::size_t base = 0;
  for (; size - base >= kBlockChars; base += kBlockChars) {
    for (std::uint64_t mask = mask_of(text + base, surrogates); mask != 0; mask &= mask - 1)
      on_bracket(base + static_cast<std::size_t>(__builtin_ctzll(mask)));
  }
  const bool surrogate = surrogates != 0 || has_surrogate(text + base, size - base);
  for (; base < size; ++base)
    if (text[base] == '<' || text[base] == '>') on_bracket(base);
  return surrogate;
}

}  // namespace quillet::fast
