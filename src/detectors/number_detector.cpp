// PLACEHOLDER: detection not built yet; answers "no match".
#include "detectors/number_detector.hpp"

#include "base/consumable.hpp"

namespace quillet {

std::optional<Result> detect(const NumberDetector&, Buffer&) { return std::nullopt; }

}  // namespace quillet
