// Number detection: an optional "-", decimal digits and a decimal point.
//
// Scanning collects the digits before and after the first "." separately (the
// sign and any further "." are not kept), and the value is then read from that
// digit text with std::from_chars, so that:
//  - an integer is exact within the signed 64-bit range, and beyond it becomes
//    the nearest double, recorded as "float";
//  - a floating-point value is the correctly rounded double of its decimal text,
//    whatever the number of digits.
// For numbers whose digit value and divisor fit in 32 bits this is the same as
// dividing the digit value by the power of ten, since both are exact doubles
// and IEEE division rounds correctly.
#include "detectors/number_detector.hpp"

#include <charconv>
#include <cstdint>
#include <limits>
#include <string>

#include "base/consumable.hpp"

namespace quillet {

namespace {

bool is_digit(char32_t c) { return c >= U'0' && c <= U'9'; }

// What scanning took from the buffer, reduced to what the value depends on.
struct Scanned {
  bool negative = false;
  bool point = false;        // a "." was taken (the first one splits the digits)
  std::string int_digits;    // ASCII digits before the first "."
  std::string frac_digits;   // ASCII digits after it, later "." left out
  void add_digit(char32_t c) { (point ? frac_digits : int_digits).push_back(static_cast<char>(c)); }
  bool has_digits() const { return !int_digits.empty() || !frac_digits.empty(); }
};

// Takes the number at the front of `buffer`, or answers nothing (the buffer may
// then have lost characters, which the caller discards).
std::optional<Scanned> scan(const NumberDetector& detector, Buffer& buffer) {
  Scanned s;
  if (buffer.empty()) return std::nullopt;
  if (buffer.front() == U'-') {
    if (detector.unsigned_only) return std::nullopt;
    buffer.take();
    s.negative = true;
  }
  if (buffer.empty()) return std::nullopt;

  if (!detector.floating.has_value()) {
    // By the text: digits and at most one ".".
    while (!buffer.empty()) {
      const char32_t c = buffer.front();
      if (is_digit(c)) {
        s.add_digit(buffer.take());
      } else if (c == U'.' && !s.point) {
        buffer.take();
        s.point = true;
      } else {
        break;
      }
    }
    if (!s.has_digits()) return std::nullopt;
  } else if (!*detector.floating) {
    // Integers only: a "." ends the number and stays.
    if (!is_digit(buffer.front())) return std::nullopt;
    while (!buffer.empty() && is_digit(buffer.front())) s.add_digit(buffer.take());
  } else {
    // Always floating-point: every "." is taken; only the first one counts.
    if (!is_digit(buffer.front()) && buffer.front() != U'.') return std::nullopt;
    while (!buffer.empty() && (is_digit(buffer.front()) || buffer.front() == U'.')) {
      const char32_t c = buffer.take();
      if (c == U'.') {
        s.point = true;
      } else {
        s.add_digit(c);
      }
    }
  }
  return s;
}

bool all_zeros(const std::string& digits) { return digits.find_first_not_of('0') == std::string::npos; }

// The correctly rounded double of the digit text, sign applied last so that a
// negative zero stays negative.
double to_double(const Scanned& s) {
  std::string text = s.int_digits.empty() ? std::string("0") : s.int_digits;
  if (!s.frac_digits.empty()) {
    text += '.';
    text += s.frac_digits;
  }
  double value = 0.0;
  if (std::from_chars(text.data(), text.data() + text.size(), value).ec == std::errc::result_out_of_range) {
    // from_chars reports a value that rounds to zero or to infinity as out of
    // range; which one it is follows from the integer part.
    value = all_zeros(s.int_digits) ? 0.0 : std::numeric_limits<double>::infinity();
  }
  return s.negative ? -value : value;
}

// The integer of the digit text, or nothing when it lies outside the signed
// 64-bit range.
std::optional<std::int64_t> to_int64(const Scanned& s) {
  std::uint64_t magnitude = 0;
  const std::string& d = s.int_digits;
  if (std::from_chars(d.data(), d.data() + d.size(), magnitude).ec != std::errc()) return std::nullopt;
  constexpr auto max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (!s.negative) {
    if (magnitude > max) return std::nullopt;
    return static_cast<std::int64_t>(magnitude);
  }
  if (magnitude > max + 1) return std::nullopt;
  // The minimum has no positive counterpart to negate.
  if (magnitude == max + 1) return std::numeric_limits<std::int64_t>::min();
  return -static_cast<std::int64_t>(magnitude);
}

}  // namespace

std::optional<Result> detect(const NumberDetector& detector, Buffer& buffer) {
  const std::optional<Scanned> s = scan(detector, buffer);
  if (!s) return std::nullopt;

  const bool floating = detector.floating.value_or(s->point);
  std::optional<std::int64_t> integer;
  if (!floating) integer = to_int64(*s);

  // An integer beyond the signed 64-bit range is recorded as the nearest double.
  Value type = integer ? Value("integer") : Value("float");
  Value number = integer ? Value(*integer) : Value(to_double(*s));
  return Result(Detector(detector), std::nullopt,
                Dict::from_values({{"number_type", std::move(type)}, {"number", std::move(number)}}));
}

}  // namespace quillet
