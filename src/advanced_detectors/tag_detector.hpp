// Tag detector: one tag such as <a href="x">, </a> or <br/>, under five constraints.
#pragma once

#include <optional>
#include <string>

namespace quillet {

struct Result;
class Buffer;

struct TagDetector {
  // The name must equal this (case-sensitive).
  std::optional<std::string> tag = std::nullopt;
  // True: at least one attribute; false: none.
  std::optional<bool> attributes = std::nullopt;
  // True: only "</...>"; false: only non-closing tags.
  std::optional<bool> closing = std::nullopt;
  // True: must end with "/>"; false: must not.
  std::optional<bool> self_closing = std::nullopt;
  // True: only non-closing tags; false: only closing tags.
  std::optional<bool> opening = std::nullopt;

  bool operator==(const TagDetector&) const = default;
};

std::optional<Result> detect(const TagDetector& detector, Buffer& buffer);

}  // namespace quillet
