// Number detector: scanning by mode, values at and beyond the 32- and 64-bit
// boundaries, correct rounding for any number of digits, signed zeros.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <variant>

#include "base/consumable.hpp"

namespace quillet {
namespace {

using Number = std::variant<std::int64_t, double>;  // the expected kind and value

constexpr NumberDetector kByText{};
constexpr NumberDetector kIntegers{.floating = false};
constexpr NumberDetector kFloats{.floating = true};
constexpr NumberDetector kUnsigned{.unsigned_only = true};

struct NumberCase {
  NumberDetector detector;
  std::string input;
  std::optional<Number> number;  // absent: no match
  std::string rest;              // what stays in the buffer on a match
};

std::string describe(const NumberCase& c) {
  const std::string mode = !c.detector.floating ? "by-text" : *c.detector.floating ? "floating" : "integer";
  return mode + (c.detector.unsigned_only ? "/unsigned" : "") + " '" + c.input.substr(0, 60) + "'";
}

// Runs one case through `consume` and checks the whole result: what was
// consumed, the fields left empty, the kind, and the value bit for bit (so
// that signed zeros count).
void check(const NumberCase& c) {
  SCOPED_TRACE(describe(c));
  const Chars input = from_string(c.input);
  Buffer buffer(input);
  Consumed got = consume(buffer, c.detector);
  ASSERT_EQ(got.matched, c.number.has_value());
  if (!got.matched) return;
  EXPECT_EQ(chars_to_string(buffer.view()), c.rest);
  const Result& r = *got.result;
  ASSERT_TRUE(r.attributes.has_value());
  EXPECT_EQ(r, Result(Detector(c.detector), std::nullopt, r.attributes));
  EXPECT_EQ(r.attributes->size(), 2u);
  const Value n = r.attributes->get("number");
  if (const auto* want = std::get_if<std::int64_t>(&*c.number)) {
    EXPECT_EQ(r.attributes->get("number_type"), Value("integer"));
    EXPECT_EQ(n, Value(*want));
  } else {
    EXPECT_EQ(r.attributes->get("number_type"), Value("float"));
    ASSERT_EQ(n.kind(), Value::Kind::Float);
    const double got_v = *n.get_if<double>(), want_v = std::get<double>(*c.number);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(got_v), std::bit_cast<std::uint64_t>(want_v))
        << "got " << got_v << ", want " << want_v;
  }
}

Number I(std::int64_t v) { return v; }
Number F(double v) { return v; }

TEST(NumberDetectorTest, ScansByMode) {
  const std::vector<NumberCase> cases = {
      // Kind by the text: one "." at most, at least one digit.
      {kByText, "42abc", I(42), "abc"},
      {kByText, "-42", I(-42), ""},
      {kByText, "007", I(7), ""},
      {kByText, "-0", I(0), ""},
      {kByText, "3.25", F(3.25), ""},
      {kByText, "5.", F(5.0), ""},
      {kByText, ".5", F(0.5), ""},
      {kByText, "-.5", F(-0.5), ""},
      {kByText, "-0.0", F(-0.0), ""},
      {kByText, "1.2.3", F(1.2), ".3"},
      {kByText, "12-3", I(12), "-3"},
      {kByText, "1e5", I(1), "e5"},
      {kByText, ".", std::nullopt, ""},
      {kByText, "-", std::nullopt, ""},
      {kByText, "-.", std::nullopt, ""},
      {kByText, "-x", std::nullopt, ""},
      {kByText, "+5", std::nullopt, ""},
      {kByText, "", std::nullopt, ""},
      // A sign is refused, not skipped.
      {kUnsigned, "-5", std::nullopt, ""},
      {kUnsigned, "5", I(5), ""},
      {NumberDetector{.floating = true, .unsigned_only = true}, "-.5", std::nullopt, ""},
      // Integers only: a "." ends the number and stays.
      {kIntegers, "12.5", I(12), ".5"},
      {kIntegers, "-12.", I(-12), "."},
      {kIntegers, ".5", std::nullopt, ""},
      // Always floating-point: every "." is taken, the digits after the first count.
      {kFloats, "12", F(12.0), ""},
      {kFloats, "1.2.3", F(1.23), ""},
      {kFloats, "1..5x", F(1.5), "x"},
      {kFloats, ".", F(0.0), ""},
      {kFloats, "-.", F(-0.0), ""},
      {kFloats, "-0", F(-0.0), ""},
      {kFloats, "-1.2.3-4", F(-1.23), "-4"},
      {kFloats, "-x", std::nullopt, ""},
  };
  for (const auto& c : cases) check(c);
}

TEST(NumberDetectorTest, IntegersBeyondThirtyTwoBitsStayExact) {
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  const std::int64_t min = std::numeric_limits<std::int64_t>::min();
  const std::vector<NumberCase> cases = {
      {kByText, "2147483647", I(2147483647), ""},
      {kByText, "-2147483648", I(-2147483648LL), ""},
      {kByText, "2147483648", I(2147483648LL), ""},    // wraps to its negative in 32 bits
      {kByText, "-2147483649", I(-2147483649LL), ""},  // wraps to a positive
      {kByText, "4294967296", I(4294967296LL), ""},    // wraps to zero
      {kByText, "00000000000000000000000042", I(42), ""},  // leading zeros never overflow
      {kByText, "9223372036854775807", I(max), ""},
      {kByText, "-9223372036854775808", I(min), ""},
      {kByText, "-0009223372036854775808", I(min), ""},
      // Beyond 64 bits: the nearest double, recorded as a float.
      {kByText, "9223372036854775808", F(9223372036854775808.0), ""},
      {kIntegers, "9223372036854775808.5", F(9223372036854775808.0), ".5"},
      {kByText, "-9223372036854775809", F(-9223372036854775808.0), ""},
      {kByText, "18446744073709551616", F(18446744073709551616.0), ""},
      {kByText, "-" + std::string(400, '9'), F(-std::numeric_limits<double>::infinity()), ""},
  };
  for (const auto& c : cases) check(c);
}

TEST(NumberDetectorTest, FloatsAreCorrectlyRoundedForAnyNumberOfDigits) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::string tiny = "0." + std::string(400, '0') + "1";  // far below the smallest double
  const std::vector<NumberCase> cases = {
      {kByText, "0.1", F(0.1), ""},
      {kByText, "0.0000000001", F(1e-10), ""},            // a ten-place divisor wraps in 32 bits
      {kByText, "0." + std::string(31, '0') + "1", F(1e-32), ""},  // ... and becomes zero
      {kByText, "4294967296.25", F(4294967296.25), ""},
      {kByText, "3.14159265358979323846264338327950288", F(3.14159265358979323846264338327950288), ""},
      // Halfway between 1 and the next double: ties go to even; one more
      // digit far out tips it up.
      {kByText, "1.00000000000000011102230246251565404236316680908203125", F(1.0), ""},
      {kByText, "1.000000000000000111022302462515654042363166809082031250000001",
       F(std::nextafter(1.0, 2.0)), ""},
      {kByText, "17976931348623157" + std::string(292, '0') + ".0",
       F(std::numeric_limits<double>::max()), ""},
      {kByText, std::string(400, '9') + ".5", F(inf), ""},
      {kByText, tiny, F(0.0), ""},
      {kByText, "-" + tiny, F(-0.0), ""},
      {kByText, "0." + std::string(323, '0') + "3", F(std::numeric_limits<double>::denorm_min()), ""},
      {kFloats, "1.2.3.4.5.6.7.8.9.0.1.2", F(1.23456789012), ""},
  };
  for (const auto& c : cases) check(c);
}

// Inside the 32-bit range the value is the digit value, with its sign,
// divided by the power of ten of its decimal places, all exact before the one
// rounding of the division. Random texts of at most nine digits.
TEST(NumberDetectorTest, ThirtyTwoBitRangeKeepsTheDividedDigitValue) {
  std::mt19937 rng(20240611);
  for (int i = 0; i < 20000; ++i) {
    const int digits = 1 + static_cast<int>(rng() % 9);
    const int point = static_cast<int>(rng() % (digits + 2));  // digits + 1: no point
    const bool negative = rng() % 2;
    std::string text = negative ? "-" : "";
    std::int32_t v = 0;
    int places = 0;
    for (int d = 0; d < digits; ++d) {
      if (d == point) text += '.';
      const int digit = static_cast<int>(rng() % 10);
      text += static_cast<char>('0' + digit);
      v = v * 10 + digit;
      if (point <= d) ++places;
    }
    if (point == digits) text += '.';
    const bool floating = point <= digits;
    std::int32_t divisor = 1;
    for (int p = 0; p < places; ++p) divisor *= 10;
    const Number want = floating ? F((negative ? -1.0 : 1.0) * v / divisor) : I(negative ? -v : v);
    check({kByText, text, want, ""});
    if (HasFailure()) break;
  }
}

}  // namespace
}  // namespace quillet
