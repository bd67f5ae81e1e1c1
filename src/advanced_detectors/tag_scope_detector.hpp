// Tag scope detector: one whole element, <name ...>content</name> or <name .../>.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quillet {

struct Result;
class Buffer;
class Dict;

struct TagScopeDetector {
  std::optional<std::string> tag = std::nullopt;  // only elements of this name match
  std::optional<std::string> id = std::nullopt;   // only elements with this id match
  // Carried into results; never consulted.
  std::optional<std::vector<std::string>> classes = std::nullopt;

  bool operator==(const TagScopeDetector&) const = default;
};

std::optional<Result> detect(const TagScopeDetector& detector, Buffer& buffer);

// The record of an element whose opening tag has the name `name` and the
// attributes `attributes`: the fixed keys of element_schema.hpp (id, style
// and the class list read from the attributes), then the attributes
// themselves. Every builder of engine results makes its elements here.
Dict element_record(std::string name, Dict attributes, bool is_self_closing);

}  // namespace quillet
