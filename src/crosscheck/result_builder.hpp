// The fast element scan, delivered as the engine's own Result trees: the same
// trees the scanning loop builds with a single whole-element detector.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "base/result.hpp"

namespace quillet::fast {

// The result list for `text`, as consume_any with one TagScopeDetector gives it.
std::optional<std::vector<Result>> parse_results(std::u32string_view text);

}  // namespace quillet::fast
