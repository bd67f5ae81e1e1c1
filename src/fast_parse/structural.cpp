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
std::uint64_t portable_mask(const CharT* block) {
  std::uint64_t mask = 0;
  for (std::size_t i = 0; i < kBlockChars; ++i)
    mask |= static_cast<std::uint64_t>(block[i] == '<' || block[i] == '>') << i;
  return mask;
}

#if QUILLET_X86

// Lanes equal to "<" or ">" as all ones.
inline __m128i brackets8(__m128i v) {
  return _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('<')), _mm_cmpeq_epi8(v, _mm_set1_epi8('>')));
}
inline __m128i brackets16(const void* p) {
  const __m128i v = _mm_loadu_si128(static_cast<const __m128i*>(p));
  return _mm_or_si128(_mm_cmpeq_epi16(v, _mm_set1_epi16('<')), _mm_cmpeq_epi16(v, _mm_set1_epi16('>')));
}
inline __m128i brackets32(const void* p) {
  const __m128i v = _mm_loadu_si128(static_cast<const __m128i*>(p));
  return _mm_or_si128(_mm_cmpeq_epi32(v, _mm_set1_epi32('<')), _mm_cmpeq_epi32(v, _mm_set1_epi32('>')));
}

// Sixteen characters to sixteen mask bits, per width. Packing saturates, so
// an all-ones lane stays all ones and a zero lane zero.
std::uint64_t sse2_16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(_mm_movemask_epi8(brackets8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)))));
}
std::uint64_t sse2_16(const std::uint16_t* p) {
  return static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_packs_epi16(brackets16(p), brackets16(p + 8))));
}
std::uint64_t sse2_16(const std::uint32_t* p) {
  const __m128i lo = _mm_packs_epi32(brackets32(p), brackets32(p + 4));
  const __m128i hi = _mm_packs_epi32(brackets32(p + 8), brackets32(p + 12));
  return static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_packs_epi16(lo, hi)));
}
std::uint64_t sse2_16(const char32_t* p) { return sse2_16(reinterpret_cast<const std::uint32_t*>(p)); }

template <class CharT>
std::uint64_t sse2_mask(const CharT* block) {
  return sse2_16(block) | sse2_16(block + 16) << 16 | sse2_16(block + 32) << 32 | sse2_16(block + 48) << 48;
}

__attribute__((target("avx2"))) inline __m256i avx_brackets(__m256i v, __m256i lt, __m256i gt, int width) {
  switch (width) {
    case 1: return _mm256_or_si256(_mm256_cmpeq_epi8(v, lt), _mm256_cmpeq_epi8(v, gt));
    case 2: return _mm256_or_si256(_mm256_cmpeq_epi16(v, lt), _mm256_cmpeq_epi16(v, gt));
    default: return _mm256_or_si256(_mm256_cmpeq_epi32(v, lt), _mm256_cmpeq_epi32(v, gt));
  }
}

__attribute__((target("avx2"))) inline __m256i avx_load(const void* p) {
  return _mm256_loadu_si256(static_cast<const __m256i*>(p));
}

// Thirty-two characters to thirty-two mask bits, per width. AVX2 packs
// within 128-bit lanes, so the packed bytes are put back in order.
__attribute__((target("avx2"))) std::uint64_t avx2_32(const std::uint8_t* p) {
  const __m256i m = avx_brackets(avx_load(p), _mm256_set1_epi8('<'), _mm256_set1_epi8('>'), 1);
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(m));
}
__attribute__((target("avx2"))) std::uint64_t avx2_32(const std::uint16_t* p) {
  const __m256i lt = _mm256_set1_epi16('<'), gt = _mm256_set1_epi16('>');
  const __m256i packed = _mm256_packs_epi16(avx_brackets(avx_load(p), lt, gt, 2),
                                            avx_brackets(avx_load(p + 16), lt, gt, 2));
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_permute4x64_epi64(packed, 0xD8)));
}
__attribute__((target("avx2"))) std::uint64_t avx2_32(const std::uint32_t* p) {
  const __m256i lt = _mm256_set1_epi32('<'), gt = _mm256_set1_epi32('>');
  const __m256i ab = _mm256_packs_epi32(avx_brackets(avx_load(p), lt, gt, 4),
                                        avx_brackets(avx_load(p + 8), lt, gt, 4));
  const __m256i cd = _mm256_packs_epi32(avx_brackets(avx_load(p + 16), lt, gt, 4),
                                        avx_brackets(avx_load(p + 24), lt, gt, 4));
  const __m256i packed = _mm256_packs_epi16(ab, cd);
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_permutevar8x32_epi32(packed, order)));
}
__attribute__((target("avx2"))) std::uint64_t avx2_32(const char32_t* p) {
  return avx2_32(reinterpret_cast<const std::uint32_t*>(p));
}

template <class CharT>
__attribute__((target("avx2"))) std::uint64_t avx2_mask(const CharT* block) {
  return avx2_32(block) | avx2_32(block + 32) << 32;
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
