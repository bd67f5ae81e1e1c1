// The character classes of tags: whitespace, and the characters of tag names
// and attribute keys. The detectors take the ordered lists (the whitespace
// and identifier alphabets, whose order shows in their results) and the
// markup index the table; both are made from the same lists, here.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <type_traits>

namespace quillet::char_class {

// Whitespace, in the order the whitespace alphabet lists it.
inline constexpr std::u32string_view kWhitespace = U" \n\t\r";
// The characters of names and keys, in the order the identifier alphabet
// lists them.
inline constexpr std::u32string_view kNameChars =
    U"abcdefghijklmnopqrstuvwxyz_ABCDEFGHIJKLMNOPQRSTUVWXYZ-0123456789";

// Every member of both classes is ASCII, so one table over ASCII answers for
// any character: a single load on the hot paths of the index.
inline constexpr std::uint8_t kSpaceClass = 1, kNameClass = 2;
inline constexpr std::array<std::uint8_t, 128> kAsciiClasses = [] {
  std::array<std::uint8_t, 128> classes{};
  for (const char32_t c : kWhitespace) classes[c] = kSpaceClass;
  for (const char32_t c : kNameChars) classes[c] = kNameClass;
  return classes;
}();

// The class of `c` in kAsciiClasses, 0 for every other character. Any
// integral character type: a signed char above 0x7F reads as its byte.
template <class CharT>
constexpr std::uint8_t class_of(CharT c) {
  const auto u = static_cast<std::make_unsigned_t<CharT>>(c);
  return u < 128 ? kAsciiClasses[u] : 0;
}

template <class CharT>
constexpr bool is_space(CharT c) {
  return class_of(c) == kSpaceClass;
}

template <class CharT>
constexpr bool is_name_char(CharT c) {
  return class_of(c) == kNameClass;
}

}  // namespace quillet::char_class
