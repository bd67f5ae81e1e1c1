// Tag scope detector: one whole element, found through the tag detector and a
// scope whose delimiters are the element's own opening and closing tags.
#include "advanced_detectors/tag_scope_detector.hpp"

#include "base/consumable.hpp"

namespace quillet {
namespace {

// The attribute's text when the opening tag has it, otherwise "".
std::string attribute_text(const Dict& attributes, std::string_view name) {
  const Value v = attributes.get(name);
  const auto* s = v.get_if<std::string>();
  return s ? *s : std::string();
}

}  // namespace

std::optional<Result> detect(const TagScopeDetector& detector, Buffer& buffer) {
  // Whitespace before an element belongs to the element's match.
  consume(buffer, whitespace_detector());

  // Read the opening tag on a copy: the element's extent is taken below.
  Buffer lookahead = buffer;
  Consumed opening = consume(lookahead, TagDetector{detector.tag, std::nullopt, false, std::nullopt, std::nullopt});
  if (!opening.matched) return std::nullopt;
  const Dict& tag = *opening.result->attributes;
  Value attributes_value = tag.get("attributes");
  const Value self_closing_value = tag.get("self_closing");
  const Value name_value = tag.get("tag");
  auto* attributes = attributes_value.get_if<Dict>();
  const bool* self_closing = self_closing_value.get_if<bool>();
  const std::string* name = name_value.get_if<std::string>();
  if (!attributes || !self_closing || !name) return std::nullopt;

  const std::string id = attribute_text(*attributes, "id");
  const std::string style = attribute_text(*attributes, "style");
  const Value::Array classes = split_to_values(attribute_text(*attributes, "class"), " ");
  if (detector.id && *detector.id != id) return std::nullopt;

  auto element = [&](bool is_self_closing) {
    return Dict::from({{"tag", *name},
                       {"id", id},
                       {"classes", classes},
                       {"style", style},
                       {"is_self_closing", is_self_closing},
                       {"attributes", *attributes}});
  };

  if (*self_closing) {
    Consumed whole = consume(buffer, TagDetector{*name, std::nullopt, false, true, std::nullopt});
    if (!whole.matched) return std::nullopt;
    return Result(detector, std::nullopt, element(true));
  }

  // Only tags of this element's own name count while the closing tag is
  // sought: openings (self-closing ones too) go one level down, closings up.
  Consumed scope = consume(buffer, ScopeDetector(TagDetector{*name, std::nullopt, false, std::nullopt, std::nullopt},
                                                 TagDetector{*name, std::nullopt, true, std::nullopt, std::nullopt}));
  if (!scope.matched) return std::nullopt;
  return Result(detector, std::move(scope.result->text), element(false));
}

}  // namespace quillet
