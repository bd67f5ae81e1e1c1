// The dispatch from a Detector to the detection of the kind it holds.
#include "base/detector.hpp"

#include "base/consumable.hpp"

namespace quillet {

std::optional<Result> detect(const Detector& detector, Buffer& buffer) {
  return std::visit(
      [&buffer](const auto& kind) -> std::optional<Result> {
        using K = std::decay_t<decltype(kind)>;
        if constexpr (std::is_same_v<K, PlainText>) {
          return std::nullopt;
        } else {
          return detect(kind, buffer);
        }
      },
      detector.kind);
}

ScopeDetector::ScopeDetector(Detector s, Detector e) : start(std::move(s)), end(std::move(e)) {}

}  // namespace quillet
