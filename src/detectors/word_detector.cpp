// PLACEHOLDER: detection not built yet; answers "no match".
#include "detectors/word_detector.hpp"

#include "base/consumable.hpp"

namespace quillet {

std::optional<Result> detect(const WordDetector&, Buffer&) { return std::nullopt; }

}  // namespace quillet
namespace quillet {
WordDetector whitespace_detector() { return {}; }
WordDetector identifier_detector() { return {}; }
}
