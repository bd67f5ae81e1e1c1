// Character sequences: Unicode scalar values, 32 bits each, and their UTF-8 form.
#pragma once

#include <string>
#include <string_view>

namespace quillet {

// A sequence of Unicode scalar values: the engine's notion of text.
using Chars = std::u32string;

// Decodes UTF-8 into scalar values. Malformed sequences (which the Python
// boundary never hands over) decode as U+FFFD, one per offending byte.
Chars decode_utf8(std::string_view utf8);

// Appends the UTF-8 encoding of each scalar value to `out`.
void append_utf8(std::string& out, std::u32string_view chars);

// The UTF-8 encoding of a sequence of scalar values.
std::string chars_to_string(std::u32string_view chars);

}  // namespace quillet
