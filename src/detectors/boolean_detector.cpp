// PLACEHOLDER: detection not built yet; answers "no match".
#include "detectors/boolean_detector.hpp"

#include "base/consumable.hpp"

namespace quillet {

std::optional<Result> detect(const BooleanDetector&, Buffer&) { return std::nullopt; }

}  // namespace quillet
