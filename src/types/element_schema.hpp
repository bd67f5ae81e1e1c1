// The shape of an element in the output: its keys, their order, and how the
// attributes "id", "class" and "style" become the values of fixed keys. Every
// path that builds an element (the detector engine's record, the Value to
// Python conversion, the fast path's Python builder and the tree helpers)
// takes its keys and rules from here. Callers read these keys by name, so
// renaming one changes the public output.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace quillet::element {

// The fixed keys, in the order an element dict holds them. Any other
// attribute of the tag follows them in the order written, and "children"
// (always a list, whatever an attribute of that name held) comes last.
inline constexpr std::string_view kTag = "tag";
inline constexpr std::string_view kId = "id";
inline constexpr std::string_view kClasses = "classes";
inline constexpr std::string_view kStyle = "style";
inline constexpr std::string_view kIsSelfClosing = "is_self_closing";
inline constexpr std::string_view kChildren = "children";

inline constexpr std::array<std::string_view, 6> kFixedKeys = {kTag, kId, kClasses, kStyle, kIsSelfClosing,
                                                              kChildren};
// kFixedKeys[0, kLeadingKeys) lead every element; "children" closes it.
inline constexpr std::size_t kLeadingKeys = 5;

// The attributes that feed fixed keys instead of standing on their own:
// "id" and "style" are copied as written ("" when absent), and "class" is
// split into "classes".
inline constexpr std::string_view kIdAttribute = "id";
inline constexpr std::string_view kClassAttribute = "class";
inline constexpr std::string_view kStyleAttribute = "style";

// The entry of the engine's element record that holds the tag's attributes,
// which the conversion spreads after the leading keys.
inline constexpr std::string_view kAttributesEntry = "attributes";

// Whether the attribute `name` is one of those that feed a fixed key.
constexpr bool feeds_fixed_key(std::string_view name) {
  return name == kIdAttribute || name == kClassAttribute || name == kStyleAttribute;
}

// The class list of a class attribute: the value split at every single space,
// empty names kept, so "a  b" gives "a", "", "b" and "" gives one "". An
// element without the attribute has the list of one "" as well.
// Calls `piece(begin, end)` for each name, as offsets into `value`.
template <class CharT, class F>
void for_each_class(const CharT* value, std::size_t size, F&& piece) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < size; ++i) {
    if (value[i] == CharT(' ')) {
      piece(start, i);
      start = i + 1;
    }
  }
  piece(start, size);
}

// How many names for_each_class gives for `value`.
template <class CharT>
std::size_t class_count(const CharT* value, std::size_t size) {
  std::size_t n = 1;
  for (std::size_t i = 0; i < size; ++i) n += value[i] == CharT(' ');
  return n;
}

}  // namespace quillet::element
