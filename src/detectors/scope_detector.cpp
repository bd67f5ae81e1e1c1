// Scope detector: an opening, then everything up to the closing that balances it.
#include "detectors/scope_detector.hpp"

#include <cstdint>

#include "base/consumable.hpp"

namespace quillet {

std::optional<Result> detect(const ScopeDetector& detector, Buffer& buffer) {
  Consumed opening = consume(buffer, *detector.start);
  if (!opening.matched) return std::nullopt;

  // Every step moves characters from the front of the buffer to the end of
  // the content, so the content is always the stretch of the input from here
  // up to the buffer's front; it is copied out once, at the closing.
  const char32_t* content_first = buffer.begin();
  std::int32_t depth = 1;
  while (!buffer.empty()) {
    // Each try runs on its own view, so the buffer moves only by what the
    // chosen delimiter consumed. `end` goes first: with equal delimiters (a
    // quote on both sides) the second quote closes instead of nesting.
    Buffer after_end = buffer;
    Consumed closing = consume(after_end, *detector.end);
    if (closing.matched) {
      // A closing that consumed nothing still counts: it only lowers the
      // depth, which is finite, so the loop still ends.
      if (--depth == 0) {
        Chars content(content_first, buffer.begin());  // the closing stays out of it
        buffer = after_end;
        return Result(detector, std::move(content),
                      Dict::from({{"start", *opening.result}, {"end", *closing.result}}));
      }
      buffer = after_end;  // a nested closing belongs to the content
      continue;
    }
    // `start` is tried only when `end` did not match: detection has no side
    // effects, so a try whose outcome cannot matter is left out.
    Buffer after_start = buffer;
    Consumed nested = consume(after_start, *detector.start);
    // An opening that consumed nothing does not count. It would raise the
    // depth without advancing, at the same position every step, and the
    // detection would never end; the character is taken as content instead.
    if (nested.matched && after_start.begin() != buffer.begin()) {
      ++depth;
      buffer = after_start;
    } else {
      buffer.take();
    }
  }
  return std::nullopt;  // ran out before the depth came back to 0
}

}  // namespace quillet
