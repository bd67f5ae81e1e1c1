// Tag detector: one tag such as <a href="x">, </a> or <br/>, under five constraints.
#pragma once

#include <optional>
#include <string>

namespace quillet {

struct Result;
class Buffer;

struct TagDetector {
  std::optional<std::string> tag;        // the name must equal this (case-sensitive)
  std::optional<bool> attributes;        // true: at least one attribute; false: none
  std::optional<bool> closing;           // true: only "</...>"; false: only non-closing tags
  std::optional<bool> self_closing;      // true: must end with "/>"; false: must not
  std::optional<bool> opening;           // true: only non-closing tags; false: only closing tags

  bool operator==(const TagDetector&) const = default;
};

std::optional<Result> detect(const TagDetector& detector, Buffer& buffer);

}  // namespace quillet
