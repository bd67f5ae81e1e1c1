// Tag scope detector: one whole element, <name ...>content</name> or <name .../>.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quillet {

struct Result;
class Buffer;

struct TagScopeDetector {
  std::optional<std::string> tag;                   // only elements of this name match
  std::optional<std::string> id;                    // only elements with this id match
  std::optional<std::vector<std::string>> classes;  // carried into results; never consulted

  bool operator==(const TagScopeDetector&) const = default;
};

std::optional<Result> detect(const TagScopeDetector& detector, Buffer& buffer);

}  // namespace quillet
