// explain_text: every tag-like text that a parse leaves as text, and why,
// read off the same index and scan that parse uses.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "fast_parse/markup_index.hpp"

namespace quillet::fast {

// Why a tag-like text stayed text: the faults of the tag itself first (with
// TagFault's values), then what the scan found about a valid tag.
enum class Reason : std::uint8_t {
  // ... TagFault::none + 1 to TagFault::no_gt ...
  no_closing_tag = static_cast<std::uint8_t>(TagFault::no_gt) + 1,
  void_without_slash,    // a name such as br or img, which is never closed
  end_tag_elsewhere,     // its end tag lies outside the element around it
  stray_end_tag,         // an end tag with no start tag of its name open
  ends_outside_parent,   // its ">" lies past the end of the element around it
  inside_tag,            // it lies inside another tag-like text that stayed text
  count,
};

inline Reason reason_of(TagFault fault) { return static_cast<Reason>(fault); }

// The words of each reason, as a user reads them; "" for TagFault::none.
std::string_view reason_text(Reason reason);

// A tag-like text left as text: "<" or "</" and an ASCII letter at `start`,
// up to the ">" at `close` (kNone when no ">" balances it).
struct Stayed {
  Pos start, close;
  Reason reason;
};

// Every tag-like text of `text` that a parse leaves in a text run, in text
// order. Texts inside a comment, a declaration or another text of "<...>"
// that reads as no tag are left out unless that one is tag-like itself
// (they are then inside_tag). Near-linear: each tag is looked at once,
// plus a sort.
template <class CharT>
std::vector<Stayed> explain_text(const CharT* text, Pos size, const Checkpoint& check = {});

}  // namespace quillet::fast
