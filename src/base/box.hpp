// Box<T>: a single owned heap value that copies deeply, for recursive records.
#pragma once

#include <memory>
#include <utility>

namespace quillet {

template <class T>
class Box {
 public:
  Box() : p_(std::make_unique<T>()) {}
  Box(T value) : p_(std::make_unique<T>(std::move(value))) {}  // NOLINT: implicit by design
  Box(const Box& other) : p_(std::make_unique<T>(*other.p_)) {}
  Box(Box&&) noexcept = default;
  Box& operator=(const Box& other) {
    if (this != &other) p_ = std::make_unique<T>(*other.p_);
    return *this;
  }
  Box& operator=(Box&&) noexcept = default;
  ~Box() = default;

  T& operator*() { return *p_; }
  const T& operator*() const { return *p_; }
  T* operator->() { return p_.get(); }
  const T* operator->() const { return p_.get(); }

  friend bool operator==(const Box& a, const Box& b) { return *a.p_ == *b.p_; }

 private:
  // Never null, except in a moved-from Box, which may only be destroyed or assigned to.
  std::unique_ptr<T> p_;
};

}  // namespace quillet
