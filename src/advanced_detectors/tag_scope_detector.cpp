// Tag scope detector: one whole element, found through the tag detector and a
// scope whose delimiters are the element's own opening and closing tags.
#include "advanced_detectors/tag_scope_detector.hpp"

#include "base/consumable.hpp"
#include "types/element_schema.hpp"

namespace quillet {
namespace {

// The attribute's text when the opening tag has it, otherwise "".
std::string attribute_text(const Dict& attributes, std::string_view name) {
  const Value* v = attributes.find(name);
  const auto* s = v ? v->get_if<std::string>() : nullptr;
  return s ? *s : std::string();
}

}  // namespace

Dict element_record(std::string name, Dict attributes, bool is_self_closing) {
  const std::string cls = attribute_text(attributes, element::kClassAttribute);
  Value::Array classes;
  classes.reserve(element::class_count(cls.data(), cls.size()));
  element::for_each_class(cls.data(), cls.size(), [&](std::size_t begin, std::size_t end) {
    classes.emplace_back(cls.substr(begin, end - begin));
  });
  Dict record;
  record.set(element::kTag, std::move(name));
  record.set(element::kId, attribute_text(attributes, element::kIdAttribute));
  record.set(element::kClasses, std::move(classes));
  record.set(element::kStyle, attribute_text(attributes, element::kStyleAttribute));
  record.set(element::kIsSelfClosing, is_self_closing);
  record.set(element::kAttributesEntry, std::move(attributes));
  return record;
}

std::optional<Result> detect(const TagScopeDetector& detector, Buffer& buffer) {
  // Whitespace before an element belongs to the element's match.
  consume(buffer, whitespace_detector());

  // Read the opening tag on a copy: the element's extent is taken below.
  Buffer lookahead = buffer;
  Consumed opening = consume(lookahead, TagDetector{.tag = detector.tag, .closing = false});
  if (!opening.matched) return std::nullopt;
  const Dict& tag = *opening.result->attributes;
  Value attributes_value = tag.get("attributes");
  const Value self_closing_value = tag.get("self_closing");
  const Value name_value = tag.get("tag");
  auto* attributes = attributes_value.get_if<Dict>();
  const bool* self_closing = self_closing_value.get_if<bool>();
  const std::string* name = name_value.get_if<std::string>();
  if (!attributes || !self_closing || !name) return std::nullopt;

  if (detector.id && *detector.id != attribute_text(*attributes, element::kIdAttribute))
    return std::nullopt;

  if (*self_closing) {
    const TagDetector whole_tag{.tag = *name, .closing = false, .self_closing = true};
    Consumed whole = consume(buffer, whole_tag);
    if (!whole.matched) return std::nullopt;
    return Result(detector, std::nullopt, element_record(*name, std::move(*attributes), true));
  }

  // Only tags of this element's own name count while the closing tag is
  // sought: openings (self-closing ones too) go one level down, closings up.
  const TagDetector opener{.tag = *name, .closing = false};
  const TagDetector closer{.tag = *name, .closing = true};
  Consumed scope = consume(buffer, ScopeDetector(opener, closer));
  if (!scope.matched) return std::nullopt;
  Dict record = element_record(*name, std::move(*attributes), false);
  return Result(detector, std::move(scope.result->text), std::move(record));
}

}  // namespace quillet
