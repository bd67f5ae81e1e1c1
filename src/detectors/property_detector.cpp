// Property detector: name="value" in markup, "name": "value" in objects.
#include "detectors/property_detector.hpp"

#include <string>

#include "base/consumable.hpp"

namespace quillet {

namespace {

// The building blocks, made afresh per detection like every sub-detector.
Detector whitespace() { return whitespace_detector(); }
Detector name_characters() { return identifier_detector(); }
// A double-quoted string. With the same detector on both sides the next quote
// always closes, so there is no nesting and no escaping.
Detector quoted() { return ScopeDetector(word_detector("\""), word_detector("\"")); }

// Whitespace around names and separators is optional: a failed try consumes
// nothing, so it is simply ignored.
void skip_whitespace(Buffer& buffer) { consume(buffer, whitespace()); }

// Both forms: whitespace, the name, whitespace, the separator, whitespace, the
// quoted value. Whitespace after the value is left for the caller. Both name
// detectors keep the name as their result's text: a name run keeps what it
// consumed, a quoted string what stands between its quotes.
std::optional<Result> detect_form(Buffer& buffer, PropertyDetector form, const Detector& name_detector,
                                  const char* separator) {
  skip_whitespace(buffer);
  Consumed name = consume(buffer, name_detector);
  if (!name.matched) return std::nullopt;
  skip_whitespace(buffer);
  if (!consume(buffer, word_detector(separator)).matched) return std::nullopt;
  skip_whitespace(buffer);
  Consumed value = consume(buffer, quoted());
  if (!value.matched) return std::nullopt;
  const std::string key = chars_to_string(*name.result->text);
  const std::string text = chars_to_string(*value.result->text);
  return Result(form, std::nullopt, Dict::from({{"key", key}, {"value", text}}));
}

}  // namespace

std::optional<Result> detect(const PropertyDetector& detector, Buffer& buffer) {
  // `html` decides when it is set; only without it does `json` have a say.
  if (detector.html.has_value()) {
    if (!*detector.html) return detect_json(buffer);
    return detector.json.value_or(false) ? detect_any(buffer) : detect_html(buffer);
  }
  if (!detector.json.has_value()) return detect_any(buffer);
  return *detector.json ? detect_json(buffer) : detect_html(buffer);
}

std::optional<Result> detect_html(Buffer& buffer) {
  return detect_form(buffer, {.html = true}, name_characters(), "=");
}

std::optional<Result> detect_json(Buffer& buffer) {
  return detect_form(buffer, {.json = true}, quoted(), ":");
}

std::optional<Result> detect_any(Buffer& buffer) {
  // Once the markup form has matched, the object form is not tried behind it:
  // a match there would consume its characters too while its result had
  // nowhere to go, so the caller would lose text without a trace.
  Consumed markup = consume(buffer, PropertyDetector{.html = true});
  if (markup.matched) return std::move(markup.result);
  return consume(buffer, PropertyDetector{.json = true}).result;
}

}  // namespace quillet
