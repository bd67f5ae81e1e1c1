// Bracket masks and character search: a portable definition, SSE2 and AVX2
// kernels on x86-64, and the choice between them.
#include "fast_parse/structural.hpp"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#define QUILLET_X86 1
#else
#define QUILLET_X86 0
#endif

namespace quillet::fast {
namespace {

template <class CharT>
std::uint64_t portable_mask(const CharT* block, std::uint64_t& surrogates) {
  std::uint64_t mask = 0;
  for (std::size_t i = 0; i < kBlockChars; ++i) {
    mask |= static_cast<std::uint64_t>(block[i] == '<' || block[i] == '>') << i;
    if constexpr (sizeof(CharT) > 1) surrogates |= is_surrogate(block[i]);
  }
  return mask;
}

#if QUILLET_X86

// Lanes equal to "<" or ">" as all ones; lanes holding a surrogate are
// or-ed into `sur`.
inline __m128i brackets8(const void* p) {
  const __m128i v = _mm_loadu_si128(static_cast<const __m128i*>(p));
  return _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('<')), _mm_cmpeq_epi8(v, _mm_set1_epi8('>')));
}
inline __m128i brackets16(const void* p, __m128i& sur) {
  const __m128i v = _mm_loadu_si128(static_cast<const __m128i*>(p));
  sur = _mm_or_si128(sur, _mm_cmpeq_epi16(_mm_and_si128(v, _mm_set1_epi16(static_cast<short>(0xF800))),
                                          _mm_set1_epi16(static_cast<short>(0xD800))));
  return _mm_or_si128(_mm_cmpeq_epi16(v, _mm_set1_epi16('<')), _mm_cmpeq_epi16(v, _mm_set1_epi16('>')));
}
inline __m128i brackets32(const void* p, __m128i& sur) {
  const __m128i v = _mm_loadu_si128(static_cast<const __m128i*>(p));
  sur = _mm_or_si128(sur, _mm_cmpeq_epi32(_mm_and_si128(v, _mm_set1_epi32(static_cast<int>(0xFFFFF800u))),
                                          _mm_set1_epi32(0xD800)));
  return _mm_or_si128(_mm_cmpeq_epi32(v, _mm_set1_epi32('<')), _mm_cmpeq_epi32(v, _mm_set1_epi32('>')));
}

// Sixteen characters to sixteen mask bits, per width. Packing saturates, so
// an all-ones lane stays all ones and a zero lane zero.
std::uint64_t sse2_16(const std::uint8_t* p, __m128i&) {
  return static_cast<std::uint16_t>(_mm_movemask_epi8(brackets8(p)));
}
std::uint64_t sse2_16(const std::uint16_t* p, __m128i& sur) {
  return static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_packs_epi16(brackets16(p, sur), brackets16(p + 8, sur))));
}
std::uint64_t sse2_16(const std::uint32_t* p, __m128i& sur) {
  const __m128i lo = _mm_packs_epi32(brackets32(p, sur), brackets32(p + 4, sur));
  const __m128i hi = _mm_packs_epi32(brackets32(p + 8, sur), brackets32(p + 12, sur));
  return static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_packs_epi16(lo, hi)));
}
std::uint64_t sse2_16(const char32_t* p, __m128i& sur) {
  return sse2_16(reinterpret_cast<const std::uint32_t*>(p), sur);
}

template <class CharT>
std::uint64_t sse2_mask(const CharT* block, std::uint64_t& surrogates) {
  __m128i sur = _mm_setzero_si128();
  const std::uint64_t mask = sse2_16(block, sur) | sse2_16(block + 16, sur) << 16 |
                             sse2_16(block + 32, sur) << 32 | sse2_16(block + 48, sur) << 48;
  surrogates |= static_cast<unsigned>(_mm_movemask_epi8(sur));
  return mask;
}

__attribute__((target("avx2"))) inline __m256i avx_load(const void* p) {
  return _mm256_loadu_si256(static_cast<const __m256i*>(p));
}
__attribute__((target("avx2"))) inline __m256i avx_brackets8(const void* p) {
  const __m256i v = avx_load(p);
  return _mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('<')), _mm256_cmpeq_epi8(v, _mm256_set1_epi8('>')));
}
__attribute__((target("avx2"))) inline __m256i avx_brackets16(const void* p, __m256i& sur) {
  const __m256i v = avx_load(p);
  sur = _mm256_or_si256(sur, _mm256_cmpeq_epi16(_mm256_and_si256(v, _mm256_set1_epi16(static_cast<short>(0xF800))),
                                                _mm256_set1_epi16(static_cast<short>(0xD800))));
  return _mm256_or_si256(_mm256_cmpeq_epi16(v, _mm256_set1_epi16('<')), _mm256_cmpeq_epi16(v, _mm256_set1_epi16('>')));
}
__attribute__((target("avx2"))) inline __m256i avx_brackets32(const void* p, __m256i& sur) {
  const __m256i v = avx_load(p);
  sur = _mm256_or_si256(sur, _mm256_cmpeq_epi32(_mm256_and_si256(v, _mm256_set1_epi32(static_cast<int>(0xFFFFF800u))),
                                                _mm256_set1_epi32(0xD800)));
  return _mm256_or_si256(_mm256_cmpeq_epi32(v, _mm256_set1_epi32('<')), _mm256_cmpeq_epi32(v, _mm256_set1_epi32('>')));
}

// Thirty-two characters to thirty-two mask bits, per width. AVX2 packs
// within 128-bit lanes, so the packed bytes are put back in order.
__attribute__((target("avx2"))) std::uint64_t avx2_32(const std::uint8_t* p, __m256i&) {
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(avx_brackets8(p)));
}
__attribute__((target("avx2"))) std::uint64_t avx2_32(const std::uint16_t* p, __m256i& sur) {
  const __m256i packed = _mm256_packs_epi16(avx_brackets16(p, sur), avx_brackets16(p + 16, sur));
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_permute4x64_epi64(packed, 0xD8)));
}
__attribute__((target("avx2"))) std::uint64_t avx2_32(const std::uint32_t* p, __m256i& sur) {
  const __m256i ab = _mm256_packs_epi32(avx_brackets32(p, sur), avx_brackets32(p + 8, sur));
  const __m256i cd = _mm256_packs_epi32(avx_brackets32(p + 16, sur), avx_brackets32(p + 24, sur));
  const __m256i packed = _mm256_packs_epi16(ab, cd);
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_permutevar8x32_epi32(packed, order)));
}
__attribute__((target("avx2"))) std::uint64_t avx2_32(const char32_t* p, __m256i& sur) {
  return avx2_32(reinterpret_cast<const std::uint32_t*>(p), sur);
}

template <class CharT>
__attribute__((target("avx2"))) std::uint64_t avx2_mask(const CharT* block, std::uint64_t& surrogates) {
  __m256i sur = _mm256_setzero_si256();
  const std::uint64_t mask = avx2_32(block, sur) | avx2_32(block + 32, sur) << 32;
  surrogates |= static_cast<unsigned>(_mm256_movemask_epi8(sur));
  return mask;
}

bool has_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

// Sixteen bytes at a time: lanes of the character's width equal to `c`.
template <class CharT>
std::size_t sse2_find(const CharT* text, std::size_t from, std::size_t to, CharT c) {
  constexpr std::size_t kLanes = 16 / sizeof(CharT);
  __m128i needle;
  if constexpr (sizeof(CharT) == 2) needle = _mm_set1_epi16(static_cast<short>(c));
  else needle = _mm_set1_epi32(static_cast<int>(c));
  std::size_t i = from;
  for (; to - i >= kLanes; i += kLanes) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
    __m128i eq;
    if constexpr (sizeof(CharT) == 2) eq = _mm_cmpeq_epi16(v, needle);
    else eq = _mm_cmpeq_epi32(v, needle);
    if (const int bits = _mm_movemask_epi8(eq))
      return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(bits))) / sizeof(CharT);
  }
  for (; i < to; ++i)
    if (text[i] == c) return i;
  return to;
}

#endif  // QUILLET_X86

}  // namespace

template <class CharT>
std::vector<BracketKernel<CharT>> bracket_kernels() {
  std::vector<BracketKernel<CharT>> kernels{{"portable", &portable_mask<CharT>}};
#if QUILLET_X86
  kernels.push_back({"sse2", &sse2_mask<CharT>});
  if (has_avx2()) kernels.push_back({"avx2", &avx2_mask<CharT>});
#endif
  return kernels;
}

template <class CharT>
BracketMask<CharT> bracket_mask() {
  // Chosen once per width, on first use.
  static const BracketMask<CharT> chosen = bracket_kernels<CharT>().back().mask;
  return chosen;
}

template <class CharT>
std::size_t find_char_long(const CharT* text, std::size_t from, std::size_t to, CharT c) {
  if (from >= to) return to;
  if constexpr (sizeof(CharT) == 1) {
    const void* hit = std::memchr(text + from, c, to - from);
    return hit ? static_cast<std::size_t>(static_cast<const CharT*>(hit) - text) : to;
  } else {
#if QUILLET_X86
    return sse2_find(text, from, to, c);
#else
    for (std::size_t i = from; i < to; ++i)
      if (text[i] == c) return i;
    return to;
#endif
  }
}

#define QUILLET_STRUCTURAL(CharT)                                                         \
  template std::vector<BracketKernel<CharT>> bracket_kernels<CharT>();                   \
  template BracketMask<CharT> bracket_mask<CharT>();                                     \
  template std::size_t find_char_long<CharT>(const CharT*, std::size_t, std::size_t, CharT);
QUILLET_STRUCTURAL(std::uint8_t)
QUILLET_STRUCTURAL(std::uint16_t)
QUILLET_STRUCTURAL(std::uint32_t)
QUILLET_STRUCTURAL(char32_t)
#undef QUILLET_STRUCTURAL

}  // namespace quillet::fast
