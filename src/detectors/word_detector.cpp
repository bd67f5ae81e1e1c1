// Word detector: a literal word, or the longest run of characters from a class.
#include "detectors/word_detector.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "base/char_classes.hpp"
#include "base/consumable.hpp"

namespace quillet {

namespace {

// Membership in an alphabet, built once per detection so that a long run
// costs one bit test per ASCII character instead of a scan of the alphabet.
// Characters beyond ASCII, rare in every alphabet the system builds, go to a
// sorted vector searched by bisection.
class CharClass {
 public:
  explicit CharClass(const Chars& alphabet) {
    for (const char32_t c : alphabet) {
      if (c < 128) {
        ascii_[c >> 6] |= std::uint64_t{1} << (c & 63);
      } else {
        other_.push_back(c);
      }
    }
    std::sort(other_.begin(), other_.end());
  }

  bool contains(char32_t c) const {
    if (c < 128) return (ascii_[c >> 6] >> (c & 63)) & 1;
    return std::binary_search(other_.begin(), other_.end(), c);
  }

 private:
  std::uint64_t ascii_[2] = {0, 0};
  std::vector<char32_t> other_;
};

std::optional<Result> detect_literal(const WordDetector& detector, Buffer& buffer) {
  const std::string& word = *detector.word;
  for (const char32_t expected : from_string(word)) {
    // The differing character is taken too; the caller drops this scratch
    // buffer on no match, so that costs nothing.
    if (buffer.empty() || buffer.take() != expected) return std::nullopt;
  }
  // The result carries no text: the word is in the attributes, and `consume`
  // hands the consumed characters to whoever needs them.
  return Result(detector, std::nullopt, Dict::from({{"word", word}}));
}

std::optional<Result> detect_class(const WordDetector& detector, Buffer& buffer) {
  const Chars& alphabet = *detector.alphabet;
  const CharClass members(alphabet);
  // Absent and false both mean the alphabet lists the accepted characters.
  const bool accept_members = !detector.invert.value_or(false);
  const char32_t* first = buffer.begin();
  while (!buffer.empty() && members.contains(buffer.front()) == accept_members) buffer.take();
  if (buffer.begin() == first) return std::nullopt;
  return Result(detector, Chars(first, buffer.begin()), Dict::from({{"alphabet", alphabet}}));
}

}  // namespace

std::optional<Result> detect(const WordDetector& detector, Buffer& buffer) {
  // Exactly one mode must be chosen; a detector naming both or neither is
  // kept as valid data but can never say which of the two it means.
  if (detector.word.has_value() == detector.alphabet.has_value()) return std::nullopt;
  return detector.word ? detect_literal(detector, buffer) : detect_class(detector, buffer);
}

WordDetector word_detector(std::string word) { return {.word = std::move(word)}; }

WordDetector whitespace_detector() { return {.alphabet = Chars(char_class::kWhitespace)}; }

WordDetector identifier_detector() { return {.alphabet = Chars(char_class::kNameChars)}; }

}  // namespace quillet
