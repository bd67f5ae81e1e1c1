// Dict: a string-keyed hash map of Values, hashed with SipHash-1-3 under a
// per-map random key.
//
// Iteration follows the hash layout, so it differs from map to map and from
// run to run; nothing may depend on it. Each entry also remembers when it was
// first inserted, for the one consumer that wants a natural order (the Python
// conversion lists an element's keys in the order the tag wrote them).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "types/typed_ref.hpp"

namespace quillet {

class Value;
struct DictEntry;  // { name, value, hash }, defined in value.hpp

class Dict {
 public:
  using Entry = DictEntry;

  Dict();  // same as new_(): empty, fresh key
  struct NoKey {};
  explicit Dict(NoKey);  // empty, key left zero: only for copies, which take their source's key
  Dict(const Dict& other);
  Dict(Dict&& other) noexcept;
  Dict& operator=(const Dict& other);
  Dict& operator=(Dict&& other) noexcept;
  ~Dict();

  // An empty map with a fresh hashing key.
  static Dict new_();
  // Each name maps to Value::new_ of its reference; later pairs win.
  static Dict from(std::initializer_list<std::pair<std::string_view, TypedRef>> pairs);
  // Each name maps to its value, moved in unchanged; later pairs win.
  static Dict from_values(std::vector<std::pair<std::string, Value>> pairs);

  // A deep copy of the value stored under `name`, or None.
  Value get(std::string_view name) const;
  // Stores `value` under `name`, replacing (and destroying) any earlier value.
  void set(std::string_view name, Value value);
  bool contains(std::string_view name) const;
  // The stored value, or nullptr; for read-only inspection without a copy.
  const Value* find(std::string_view name) const;

  // Defined in value.hpp, where Entry is complete (clang instantiates the
  // vector's constexpr members at the point of use).
  std::size_t size() const;
  bool empty() const;

  // Visits the entries in hash-layout order.
  template <class F>
  void for_each(F&& f) const;
  // The entries in the order in which their names were first inserted.
  std::vector<const Entry*> in_insertion_order() const;

  std::pair<std::uint64_t, std::uint64_t> key() const { return {k0_, k1_}; }

  // Moves every value out (leaving None behind), for the iterative teardown.
  template <class F>
  void drain_values(F&& f);

  friend bool operator==(const Dict& a, const Dict& b);  // same names and equal values

 private:
  friend struct TreeOps;

  std::uint64_t hash(std::string_view name) const;
  std::optional<std::size_t> lookup(std::string_view name, std::uint64_t h) const;

  std::uint64_t k0_ = 0, k1_ = 0;      // SipHash key of this map
  std::vector<Entry> entries_;         // in insertion order
  std::vector<std::int32_t> table_;    // open addressing over entries_; -1 is empty
};

}  // namespace quillet
