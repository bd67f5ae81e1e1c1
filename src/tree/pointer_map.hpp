// PointerMap: a hash map from object addresses to small values, for the
// memo of copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillet::tree {

// Open addressing with linear probing; grows at half load, never removes.
// Keys are compared by address only: the map does not keep them alive, so a
// caller holds a reference to every object it names for as long as the map
// is used.
template <class V>
class PointerMap {
 public:
  // The value stored under `key`, or nullptr. The pointer stays valid until
  // the next insert.
  V* find(const void* key) {
    if (slots_.empty()) return nullptr;
    for (std::size_t i = index(key);; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.key == key) return &s.value;
      if (!s.key) return nullptr;
    }
  }

  // Calls f(key, value) for every entry, in no particular order.
  template <class F>
  void for_each(F&& f) const {
    for (const Slot& s : slots_)
      if (s.key) f(s.key, s.value);
  }

  // Stores `value` under `key`, which must not be present yet. Throws
  // std::bad_alloc when the table cannot grow.
  void insert(const void* key, V value) {
    if ((size_ + 1) * 2 > slots_.size()) grow();
    std::size_t i = index(key);
    while (slots_[i].key) i = (i + 1) & mask_;
    slots_[i] = Slot{key, value};
    ++size_;
  }

 private:
  struct Slot {
    const void* key;
    V value;
  };

  std::size_t index(const void* key) const {
    // Fibonacci hashing: objects are 16-byte aligned, so mix the high bits in.
    const auto bits = reinterpret_cast<std::uintptr_t>(key) >> 4;
    return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ull) >> shift_) & mask_;
  }

  void grow() {
    std::vector<Slot> old(slots_.size() ? slots_.size() * 2 : 64, Slot{nullptr, V{}});
    old.swap(slots_);
    mask_ = slots_.size() - 1;
    shift_ = 64;
    for (std::size_t n = slots_.size(); n > 1; n >>= 1) --shift_;
    size_ = 0;
    for (const Slot& s : old)
      if (s.key) insert(s.key, s.value);
  }

  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  unsigned shift_ = 64;
  std::size_t size_ = 0;
};

}  // namespace quillet::tree
