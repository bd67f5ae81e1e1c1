// The engine side of parse: decode, scan with the root detector, hand back results.
#include "crosscheck/parse.hpp"

#include "base/consumable.hpp"

namespace quillet {

std::optional<std::vector<Result>> parse_results(std::string_view utf8) {
  const Chars chars = from_string(utf8);
  Buffer buffer(chars);
  const std::vector<Detector> roots{Detector(TagScopeDetector{})};
  return consume_any(buffer, roots);
}

}  // namespace quillet
