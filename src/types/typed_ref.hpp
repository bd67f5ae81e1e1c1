// TypedRef: a reference to ordinary data that knows which of the recognised
// types it refers to; Value::new_ turns it into a Value.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <variant>
#include <vector>

#include "base/chars.hpp"

namespace quillet {

class Value;
class Dict;
struct Result;

class TypedRef {
 public:
  // Any other type: recorded by name only; it becomes None with a warning.
  struct Unknown {
    const char* type_name;
  };
  using Ref = std::variant<std::string_view, const bool*, const double*, const std::int64_t*,
                           const Result*, const Chars*, const Dict*, const std::vector<Value>*,
                           Unknown>;

  template <class T>
  TypedRef(const T& v) : ref_(classify(v)) {}  // NOLINT: implicit by design

  const Ref& ref() const { return ref_; }

 private:
  template <class T>
  static Ref classify(const T& v) {
    using U = std::remove_cv_t<T>;
    if constexpr (std::is_same_v<U, std::string> || std::is_same_v<U, std::string_view>) {
      return std::string_view(v);
    } else if constexpr (std::is_array_v<U> && std::is_same_v<std::remove_extent_t<U>, char>) {
      return std::string_view(v);
    } else if constexpr (std::is_same_v<U, const char*> || std::is_same_v<U, char*>) {
      return std::string_view(v);
    } else if constexpr (std::is_same_v<U, bool>) {
      return &v;
    } else if constexpr (std::is_same_v<U, double>) {
      return &v;
    } else if constexpr (std::is_same_v<U, std::int64_t>) {
      return &v;
    } else if constexpr (std::is_same_v<U, Result>) {
      return &v;
    } else if constexpr (std::is_same_v<U, Chars>) {
      return &v;
    } else if constexpr (std::is_same_v<U, Dict>) {
      return &v;
    } else if constexpr (std::is_same_v<U, std::vector<Value>>) {
      return &v;
    } else {
      return Unknown{typeid(U).name()};
    }
  }

  Ref ref_;
};

}  // namespace quillet
