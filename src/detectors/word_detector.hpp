// Word detector: one literal word, or a non-empty run of characters from a class.
#pragma once

#include <optional>
#include <string>

#include "base/chars.hpp"

namespace quillet {

struct Result;
class Buffer;

struct WordDetector {
  // Literal mode: the word to match (UTF-8).
  std::optional<std::string> word = std::nullopt;
  // Class mode: the characters of the class, in a visible order.
  std::optional<Chars> alphabet = std::nullopt;
  // True: `alphabet` lists the characters NOT accepted.
  std::optional<bool> invert = std::nullopt;

  bool operator==(const WordDetector&) const = default;
};

// Matches at the front of `buffer`; exactly one of `word` and `alphabet` must be set.
std::optional<Result> detect(const WordDetector& detector, Buffer& buffer);

// The literal word `word`.
WordDetector word_detector(std::string word);
// The whitespace class: U+0020, U+000A, U+0009, U+000D, in this order.
WordDetector whitespace_detector();
// The class of name characters: a-z, "_", A-Z, "-", 0-9, in this order.
WordDetector identifier_detector();

}  // namespace quillet
