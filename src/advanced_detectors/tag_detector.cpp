// Tag detector: the extent of a tag by bracket matching, then its name,
// attributes and slashes read from the inner text.
#include "advanced_detectors/tag_detector.hpp"

#include "base/consumable.hpp"

namespace quillet {
namespace {

bool is_true(const std::optional<bool>& b) { return b.has_value() && *b; }
bool is_false(const std::optional<bool>& b) { return b.has_value() && !*b; }

}  // namespace

std::optional<Result> detect(const TagDetector& detector, Buffer& buffer) {
  // The whole tag, "<" through the ">" that balances it: the extent is fixed
  // before anything inside is read, so a ">" in a quoted value ends the tag.
  Consumed extent = consume(buffer, ScopeDetector(word_detector("<"), word_detector(">")));
  if (is_true(detector.closing) && (is_true(detector.opening) || is_true(detector.self_closing)))
    return std::nullopt;
  if (!extent.matched || !extent.result->text) return std::nullopt;
  const Chars& inner_text = *extent.result->text;
  if (inner_text.empty()) return std::nullopt;  // "<>" is never a tag
  Buffer inner(inner_text);

  const bool closing = inner.front() == U'/';
  if (closing) {
    if (is_false(detector.closing) || is_true(detector.opening)) return std::nullopt;
    inner.take();
  } else if (is_false(detector.opening) || is_true(detector.closing)) {
    return std::nullopt;
  }

  consume(inner, whitespace_detector());
  Consumed name = consume(inner, identifier_detector());
  if (!name.matched) return std::nullopt;
  if (detector.tag && *detector.tag != *name.text) return std::nullopt;

  Dict attributes = Dict::new_();
  const Detector property = PropertyDetector{.json = false, .html = true};
  for (;;) {
    Consumed attribute = consume(inner, property);
    if (!attribute.matched) break;
    const Dict& found = *attribute.result->attributes;
    const std::string key = found.get("key").to_str().value_or("");
    if (attributes.contains(key)) return std::nullopt;  // a repeated key spoils the whole tag
    attributes.set(key, found.get("value"));
  }
  if (!attributes.empty()) {
    if (is_false(detector.attributes) || closing) return std::nullopt;
  } else if (is_true(detector.attributes)) {
    return std::nullopt;
  }

  consume(inner, whitespace_detector());
  const bool self_closing = !inner.empty() && inner.front() == U'/';
  if (self_closing) {
    if (is_false(detector.self_closing) || closing) return std::nullopt;
    inner.take();
  } else if (is_true(detector.self_closing)) {
    return std::nullopt;
  }
  if (!inner.empty()) return std::nullopt;  // stray text: a bare key, an unquoted value, ...

  const bool opening = !closing;
  return Result(detector, std::nullopt,
                Dict::from({{"tag", *name.text},
                            {"attributes", attributes},
                            {"closing", closing},
                            {"self_closing", self_closing},
                            {"opening", opening}}));
}

}  // namespace quillet
