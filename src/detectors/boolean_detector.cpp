// Boolean detection: any of, all of, none of a list, or not one detector.
//
// Every try runs through `consume` on its own copy of the buffer, so all tries
// start at the same position and the buffer itself is never touched: a boolean
// detector matches without consuming anything.
#include "detectors/boolean_detector.hpp"

#include "base/consumable.hpp"

namespace quillet {

namespace {

// The result of `detector` at the front of `buffer`, leaving `buffer` as it was.
std::optional<Result> try_at(const Buffer& buffer, const Detector& detector) {
  Buffer copy = buffer;
  Consumed c = consume(copy, detector);
  if (!c.matched) return std::nullopt;
  return std::move(c.result);
}

bool matches_at(const Buffer& buffer, const Detector& detector) { return try_at(buffer, detector).has_value(); }

// The result of a match that stands for the whole rest of the buffer.
Result whole_buffer(const BooleanDetector& detector, const Buffer& buffer,
                    std::optional<std::vector<Result>> children = std::nullopt) {
  return Result(Detector(detector), buffer.chars(), std::nullopt, std::move(children));
}

}  // namespace

std::optional<Result> detect(const BooleanDetector& detector, Buffer& buffer) {
  const Buffer& at = buffer;
  return std::visit(
      [&](const auto& form) -> std::optional<Result> {
        using F = std::decay_t<decltype(form)>;
        if constexpr (std::is_same_v<F, BooleanDetector::AnyOf>) {
          // The first listed detector that matches speaks for the whole.
          for (const Detector& d : form.detectors)
            if (std::optional<Result> r = try_at(at, d)) return r;
          return std::nullopt;
        } else if constexpr (std::is_same_v<F, BooleanDetector::AllOf>) {
          std::vector<Result> children;
          children.reserve(form.detectors.size());
          for (const Detector& d : form.detectors) {
            std::optional<Result> r = try_at(at, d);
            if (!r) return std::nullopt;
            children.push_back(std::move(*r));
          }
          return whole_buffer(detector, at, std::move(children));
        } else if constexpr (std::is_same_v<F, BooleanDetector::NoneOf>) {
          for (const Detector& d : form.detectors)
            if (matches_at(at, d)) return std::nullopt;
          return whole_buffer(detector, at);
        } else {
          static_assert(std::is_same_v<F, BooleanDetector::Not>);
          if (matches_at(at, *form.detector)) return std::nullopt;
          return whole_buffer(detector, at);
        }
      },
      detector.form);
}

}  // namespace quillet
