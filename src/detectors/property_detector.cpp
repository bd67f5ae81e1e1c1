// PLACEHOLDER: detection not built yet; answers "no match".
#include "detectors/property_detector.hpp"

#include "base/consumable.hpp"

namespace quillet {

std::optional<Result> detect(const PropertyDetector&, Buffer&) { return std::nullopt; }

}  // namespace quillet
namespace quillet {
std::optional<Result> detect_html(Buffer&) { return std::nullopt; }
std::optional<Result> detect_json(Buffer&) { return std::nullopt; }
std::optional<Result> detect_any(Buffer&) { return std::nullopt; }
}
