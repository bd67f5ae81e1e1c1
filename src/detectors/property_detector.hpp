// Property detector: name="value" (markup form) or "name": "value" (object form).
#pragma once

#include <optional>

namespace quillet {

struct Result;
class Buffer;

struct PropertyDetector {
  std::optional<bool> json = std::nullopt;  // wish for the object form
  std::optional<bool> html = std::nullopt;  // wish for the markup form

  bool operator==(const PropertyDetector&) const = default;
};

std::optional<Result> detect(const PropertyDetector& detector, Buffer& buffer);
std::optional<Result> detect_html(Buffer& buffer);
std::optional<Result> detect_json(Buffer& buffer);
std::optional<Result> detect_any(Buffer& buffer);

}  // namespace quillet
