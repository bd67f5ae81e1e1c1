// Scope detector: an opening match, content, and the closing match that balances it.
#pragma once

#include <optional>

#include "base/box.hpp"

namespace quillet {

struct Result;
struct Detector;
class Buffer;

struct ScopeDetector {
  Box<Detector> start;  // detects the opening delimiter
  Box<Detector> end;    // detects the closing delimiter

  ScopeDetector(Detector start, Detector end);
  bool operator==(const ScopeDetector&) const = default;
};

std::optional<Result> detect(const ScopeDetector& detector, Buffer& buffer);

}  // namespace quillet
