// Detector: the closed set of detector kinds, as one tagged variant.
//
// Every kind is a plain record held by value; copies are deep (nested
// detectors live in Box or std::vector). Behaviour is chosen by a switch over
// the variant in `detect`, never by virtual dispatch.
#pragma once

#include <optional>
#include <variant>

#include "advanced_detectors/tag_detector.hpp"
#include "advanced_detectors/tag_scope_detector.hpp"
#include "detectors/boolean_detector.hpp"
#include "detectors/number_detector.hpp"
#include "detectors/property_detector.hpp"
#include "detectors/scope_detector.hpp"
#include "detectors/word_detector.hpp"

namespace quillet {

// The detector of a text run: it stands in results, never in detector lists,
// and never matches.
struct PlainText {
  bool operator==(const PlainText&) const = default;
};

struct Detector {
  using Kind = std::variant<NumberDetector, WordDetector, ScopeDetector, PropertyDetector,
                            BooleanDetector, TagDetector, TagScopeDetector, PlainText>;
  Kind kind;

  Detector() : kind(PlainText{}) {}
  Detector(NumberDetector d) : kind(std::move(d)) {}  // NOLINT: implicit by design
  Detector(WordDetector d) : kind(std::move(d)) {}    // NOLINT
  Detector(ScopeDetector d) : kind(std::move(d)) {}   // NOLINT
  Detector(PropertyDetector d) : kind(std::move(d)) {}  // NOLINT
  Detector(BooleanDetector d) : kind(std::move(d)) {}   // NOLINT
  Detector(TagDetector d) : kind(std::move(d)) {}       // NOLINT
  Detector(TagScopeDetector d) : kind(std::move(d)) {}  // NOLINT
  Detector(PlainText d) : kind(d) {}                    // NOLINT

  template <class T>
  const T* get_if() const {
    return std::get_if<T>(&kind);
  }
  template <class T>
  bool is() const {
    return std::holds_alternative<T>(kind);
  }

  bool operator==(const Detector&) const = default;
};

// The dispatch: runs the held kind's detection on `buffer` (always a scratch
// copy handed over by `consume` or `consume_any`).
std::optional<Result> detect(const Detector& detector, Buffer& buffer);

}  // namespace quillet
