// Property detector: markup and object forms, and which form each setting selects.
#include <gtest/gtest.h>

#include "base/consumable.hpp"

namespace quillet {
namespace {

const PropertyDetector kHtml{.html = true};
const PropertyDetector kJson{.json = true};

struct PropertyCase {
  PropertyDetector detector;
  const char* input;
  std::optional<PropertyDetector> form;  // absent: no match
  const char* key;
  const char* value;
  const char* rest;
};

TEST(PropertyDetectorTest, ReadsOneProperty) {
  const std::vector<PropertyCase> cases = {
      {kHtml, " \tdata-x \n= \r\"1 2\" more", kHtml, "data-x", "1 2", " more"},
      {kHtml, "a=\"\"", kHtml, "a", "", ""},
      {kHtml, "a=\"x\\\"y\"", kHtml, "a", "x\\", "y\""},  // no escapes
      {kHtml, "a=\"é😀\"", kHtml, "a", "é😀", ""},
      {kHtml, "a=b", std::nullopt, "", "", ""},
      {kHtml, "a='b'", std::nullopt, "", "", ""},
      {kHtml, "=\"b\"", std::nullopt, "", "", ""},
      {kHtml, "a=\"b", std::nullopt, "", "", ""},
      {kHtml, "", std::nullopt, "", "", ""},
      {kJson, " \"name\" : \"Bob\",", kJson, "name", "Bob", ","},
      {kJson, "\"\":\"\"", kJson, "", "", ""},
      {kJson, "\"a b=\":\"c\"", kJson, "a b=", "c", ""},
      {kJson, "\"a\":5", std::nullopt, "", "", ""},
      {kJson, "\"a\":true", std::nullopt, "", "", ""},
      {kJson, "a:\"b\"", std::nullopt, "", "", ""},
      {kJson, "\"a\"=\"b\"", std::nullopt, "", "", ""},
      // The choice of form; a result names the form that matched.
      {{.json = false, .html = true}, "a=\"b\"", kHtml, "a", "b", ""},
      {{.json = false, .html = true}, "\"a\":\"b\"", std::nullopt, "", "", ""},
      {{.json = true, .html = false}, "\"a\":\"b\"", kJson, "a", "b", ""},
      {{.json = true, .html = false}, "a=\"b\"", std::nullopt, "", "", ""},
      {{.json = false, .html = false}, "\"a\":\"b\"", kJson, "a", "b", ""},
      {{.html = false}, "a=\"b\"", std::nullopt, "", "", ""},
      {{.json = false}, "a=\"b\"", kHtml, "a", "b", ""},
      {{.json = false}, "\"a\":\"b\"", std::nullopt, "", "", ""},
      {{.json = true, .html = true}, "\"a\":\"b\"", kJson, "a", "b", ""},
      {{.json = true, .html = true}, "a=\"b\"", kHtml, "a", "b", ""},
      {{}, "\"a\":\"b\"", kJson, "a", "b", ""},
      // Either form: after a markup match the object form is not tried.
      {{}, "a=\"b\"\"c\":\"d\"", kHtml, "a", "b", "\"c\":\"d\""},
      {{}, "a=\"b\" x", kHtml, "a", "b", " x"},
  };
  for (const auto& c : cases) {
    const Chars input = from_string(c.input);
    Buffer buffer(input);
    Consumed got = consume(buffer, c.detector);
    ASSERT_EQ(got.matched, c.form.has_value()) << c.input;
    if (!got.matched) continue;
    const Result& r = *got.result;
    EXPECT_EQ(r.detector, Detector(*c.form)) << c.input;
    EXPECT_FALSE(r.text) << c.input;
    EXPECT_EQ(r.attributes->size(), 2u) << c.input;
    EXPECT_EQ(r.attributes->get("key"), Value(c.key)) << c.input;
    EXPECT_EQ(r.attributes->get("value"), Value(c.value)) << c.input;
    EXPECT_EQ(chars_to_string(buffer.view()), c.rest) << c.input;
  }
}

}  // namespace
}  // namespace quillet
