// PLACEHOLDER: detection not built yet; answers "no match".
#include "detectors/scope_detector.hpp"

#include "base/consumable.hpp"

namespace quillet {

std::optional<Result> detect(const ScopeDetector&, Buffer&) { return std::nullopt; }

}  // namespace quillet
