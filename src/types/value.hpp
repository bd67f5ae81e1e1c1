// Value: a dynamically typed value in which detectors record their findings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "base/chars.hpp"
#include "base/result.hpp"
#include "types/dict.hpp"
#include "types/typed_ref.hpp"

namespace quillet {

class Value {
 public:
  using Array = std::vector<Value>;
  // Variant order: None, String, Boolean, Float, Integer, Result, Queue, Properties, Array.
  using Data = std::variant<std::monostate, std::string, bool, double, std::int64_t, Result, Chars,
                            Dict, Array>;
  enum class Kind { None, String, Boolean, Float, Integer, Result, Queue, Properties, Array };

  Data data;

  Value() = default;
  Value(std::string s) : data(std::move(s)) {}           // NOLINT: implicit by design
  Value(const char* s) : data(std::string(s)) {}         // NOLINT
  Value(bool b) : data(b) {}                             // NOLINT
  Value(double d) : data(d) {}                           // NOLINT
  Value(std::int64_t i) : data(i) {}                     // NOLINT
  Value(int i) : data(static_cast<std::int64_t>(i)) {}   // NOLINT
  Value(Result r);                                       // NOLINT
  Value(Chars q) : data(std::move(q)) {}                 // NOLINT
  Value(Dict d);                                         // NOLINT
  Value(Array a) : data(std::move(a)) {}                 // NOLINT

  // Copies are deep and destruction is iterative (see Result).
  Value(const Value& other);
  Value(Value&&) noexcept = default;
  Value& operator=(const Value& other);
  Value& operator=(Value&&) noexcept = default;
  ~Value();

  Kind kind() const { return static_cast<Kind>(data.index()); }
  template <class T>
  const T* get_if() const {
    return std::get_if<T>(&data);
  }
  template <class T>
  T* get_if() {
    return std::get_if<T>(&data);
  }

  // The value as text: absent for None; see value.cpp for each kind.
  std::optional<std::string> to_str() const;
  // A new Value copied from the referenced data; an unrecognised type gives
  // None after a warning line on standard output.
  static Value new_(const TypedRef& ref);

  // True when destroying this value involves nested results or values.
  bool has_nested() const;

  friend bool operator==(const Value& a, const Value& b);
};

struct DictEntry {
  std::string name;
  Value value;
  std::uint64_t hash = 0;
};

inline std::size_t Dict::size() const { return entries_.size(); }
inline bool Dict::empty() const { return entries_.empty(); }

template <class F>
void Dict::for_each(F&& f) const {
  for (const std::int32_t i : table_) {
    if (i >= 0) f(entries_[static_cast<std::size_t>(i)]);
  }
}

template <class F>
void Dict::drain_values(F&& f) {
  for (Entry& e : entries_) f(std::move(e.value));
}

// Pieces of text the Python conversion shares with the detectors.

// One Value (of the Result kind) per result, each a deep copy, same order.
std::vector<Value> results_to_values(const std::vector<Result>& results);
// Cuts `s` at every non-overlapping occurrence of `separator`, keeping empty pieces.
std::vector<Value> split_to_values(std::string_view s, std::string_view separator);

}  // namespace quillet
