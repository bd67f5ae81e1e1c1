// Value: text form, construction from typed references, and shared helpers.
#include "types/value.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace quillet {

Value::Value(Result r) : data(std::in_place_type<Result>, std::move(r)) {}
Value::Value(Dict d) : data(std::in_place_type<Dict>, std::move(d)) {}

Value& Value::operator=(const Value& other) {
  if (this != &other) *this = Value(other);
  return *this;
}

bool Value::has_nested() const {
  switch (kind()) {
    case Kind::Result:
      return std::get<Result>(data).has_nested();
    case Kind::Properties:
      return !std::get<Dict>(data).empty();
    case Kind::Array:
      return !std::get<Array>(data).empty();
    default:
      return false;
  }
}

namespace {

std::string float_text(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
  // Shortest round-trip digits in positional notation; the largest doubles
  // need a little over 300 characters.
  char buf[400];
  auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed);
  return std::string(buf, res.ptr);
}

}  // namespace

std::optional<std::string> Value::to_str() const {
  switch (kind()) {
    case Kind::None:
      return std::nullopt;
    case Kind::String:
      return std::get<std::string>(data);
    case Kind::Boolean:
      return std::string(std::get<bool>(data) ? "true" : "false");
    case Kind::Float:
      return float_text(std::get<double>(data));
    case Kind::Integer: {
      char buf[24];
      auto res = std::to_chars(buf, buf + sizeof buf, std::get<std::int64_t>(data));
      return std::string(buf, res.ptr);
    }
    case Kind::Result:
      return std::string("Result");
    case Kind::Queue:
      return std::string("Queue");
    case Kind::Properties:
      return std::string("Properties");
    case Kind::Array:
      return std::string("Array");
  }
  return std::nullopt;
}

Value Value::new_(const TypedRef& ref) {
  return std::visit(
      [](const auto& r) -> Value {
        using R = std::decay_t<decltype(r)>;
        if constexpr (std::is_same_v<R, std::string_view>) {
          return Value(std::string(r));
        } else if constexpr (std::is_same_v<R, TypedRef::Unknown>) {
          // The line and its stream are part of the interface: callers
          // watch standard output for it, word for word.
          std::fputs("Warning: Value::new() called with an unknown type!\n", stdout);
          std::fflush(stdout);
          return Value();
        } else {
          return Value(*r);
        }
      },
      ref.ref());
}

std::vector<Value> results_to_values(const std::vector<Result>& results) {
  std::vector<Value> out;
  out.reserve(results.size());
  for (const Result& r : results) out.emplace_back(Result(r));
  return out;
}

std::vector<Value> split_to_values(std::string_view s, std::string_view separator) {
  std::vector<Value> out;
  if (separator.empty()) {
    out.emplace_back(std::string(s));
    return out;
  }
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = s.find(separator, start);
    if (at == std::string_view::npos) break;
    out.emplace_back(std::string(s.substr(start, at - start)));
    start = at + separator.size();
  }
  out.emplace_back(std::string(s.substr(start)));
  return out;
}

}  // namespace quillet
