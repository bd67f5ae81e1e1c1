// Number detector: an optional "-", decimal digits and a decimal point.
#pragma once

#include <optional>

namespace quillet {

struct Result;
class Buffer;

struct NumberDetector {
  // Absent: by the text; false: integers only; true: always float.
  std::optional<bool> floating = std::nullopt;
  bool unsigned_only = false;  // true: a leading "-" makes the detection fail

  bool operator==(const NumberDetector&) const = default;
};

std::optional<Result> detect(const NumberDetector& detector, Buffer& buffer);

}  // namespace quillet
