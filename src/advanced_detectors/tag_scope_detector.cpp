// PLACEHOLDER: detection not built yet; answers "no match".
#include "advanced_detectors/tag_scope_detector.hpp"

#include "base/consumable.hpp"

namespace quillet {

std::optional<Result> detect(const TagScopeDetector&, Buffer&) { return std::nullopt; }

}  // namespace quillet
