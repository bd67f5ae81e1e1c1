// Boolean detector: any of, all of, none of a list of detectors, or not one detector.
#pragma once

#include <optional>
#include <variant>
#include <vector>

#include "base/box.hpp"

namespace quillet {

struct Result;
struct Detector;
class Buffer;

struct BooleanDetector {
  struct AnyOf {
    std::vector<Detector> detectors;
    bool operator==(const AnyOf&) const = default;
  };
  struct AllOf {
    std::vector<Detector> detectors;
    bool operator==(const AllOf&) const = default;
  };
  struct NoneOf {
    std::vector<Detector> detectors;
    bool operator==(const NoneOf&) const = default;
  };
  struct Not {
    Box<Detector> detector;
    bool operator==(const Not&) const = default;
  };

  std::variant<AnyOf, AllOf, NoneOf, Not> form;

  bool operator==(const BooleanDetector&) const = default;
};

// Tests the listed detectors at the front of `buffer`; never consumes anything.
std::optional<Result> detect(const BooleanDetector& detector, Buffer& buffer);

}  // namespace quillet
