// The character buffer and the scanning loop.
//
// A buffer is the unconsumed rest of a text. Consumption only ever removes
// characters from the front, so a buffer is a view [first, last) over scalar
// values owned elsewhere, and a scratch copy for one detection attempt is just
// a copy of the view: a failed attempt leaves the real buffer as it was, and a
// match moves its front by exactly what was consumed.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/chars.hpp"
#include "base/result.hpp"

namespace quillet {

class Buffer {
 public:
  Buffer() = default;
  // Views `chars`, which must outlive the buffer and every copy of it.
  explicit Buffer(const Chars& chars) : first_(chars.data()), last_(chars.data() + chars.size()) {}
  explicit Buffer(std::u32string_view chars) : first_(chars.data()), last_(chars.data() + chars.size()) {}
  Buffer(const Chars&&) = delete;  // a view of a temporary would dangle

  std::size_t size() const { return static_cast<std::size_t>(last_ - first_); }
  bool empty() const { return first_ == last_; }
  char32_t front() const { return *first_; }
  const char32_t* begin() const { return first_; }
  const char32_t* end() const { return last_; }
  std::u32string_view view() const { return {first_, size()}; }
  Chars chars() const { return Chars(first_, last_); }

  // Removes and returns the first character; the buffer must not be empty.
  char32_t take() { return *first_++; }
  // Removes the first `n` characters (at most size()).
  void remove_prefix(std::size_t n) { first_ += n; }

 private:
  const char32_t* first_ = nullptr;
  const char32_t* last_ = nullptr;
};

// The scalar values of a UTF-8 string, in order.
Chars from_string(std::string_view utf8);

// What `consume` reports: all three present on a match, all absent otherwise.
struct Consumed {
  bool matched = false;
  std::optional<std::string> text;  // the consumed characters, as UTF-8
  std::optional<Result> result;     // the detector's result, as it built it
};

// Runs `detector` on a scratch copy of `buffer`; on a match removes what it
// consumed from `buffer`. On no match `buffer` is unchanged.
Consumed consume(Buffer& buffer, const Detector& detector);

// Scans the whole of `buffer` with `detectors`: characters no detector matches
// become text runs, every match's text is scanned again for its children. The
// buffer is empty afterwards. Absent only for an empty buffer.
//
// Two rules keep every composition finite:
//  - a match that consumed nothing counts as no match at that position;
//  - a match's text is scanned again only when it is shorter than what the
//    match consumed; otherwise its children stay as the detector set them.
// Scanning uses an explicit work stack, so nesting depth costs no call stack.
std::optional<std::vector<Result>> consume_any(Buffer& buffer, const std::vector<Detector>& detectors);

}  // namespace quillet
