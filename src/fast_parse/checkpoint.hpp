// Checkpoint: how the long loops of the fast path let their caller look in
// (to stop the work on request) without knowing who the caller is.
//
// A loop calls its checkpoint every so many characters or tags, the strides
// below, so that no stretch of work between two calls takes long whatever
// the input. The hook may throw; everything the index and the scan hold is
// then released by unwinding, and a new index or scan starts afresh.
#pragma once

#include <algorithm>
#include <cstddef>
#include <type_traits>
#include <vector>

namespace quillet::fast {

class Checkpoint {
 public:
  using Hook = void (*)(void* context);

  // A checkpoint that never stops anything.
  Checkpoint() = default;
  // Calls `hook(context)` at every check.
  Checkpoint(Hook hook, void* context) : hook_(hook), context_(context) {}

  void operator()() const {
    if (hook_) hook_(context_);
  }

 private:
  Hook hook_ = nullptr;
  void* context_ = nullptr;
};

// Characters the bracket scan reads between checks: a multiple of its block
// of 64, and little enough that even a text made of nothing but tags is
// read in a few milliseconds.
inline constexpr std::size_t kCharsPerCheck = std::size_t{1} << 20;
// Tags a loop over all tags visits between checks (a power of two).
inline constexpr std::size_t kTagsPerCheck = std::size_t{1} << 16;

// Calls `check` when `i` (a loop's count of tags) is a multiple of kTagsPerCheck.
inline void check_every_tags(const Checkpoint& check, std::size_t i) {
  if ((i & (kTagsPerCheck - 1)) == kTagsPerCheck - 1) check();
}

// Gives `v` room for at least `need` elements, doubling as push_back does,
// but moving the old elements kTagsPerCheck at a time with a check between:
// growing an array of a hundred million tags copies gigabytes into memory
// the system hands out page by page, which must not run unobserved.
template <class T>
void reserve_checked(std::vector<T>& v, std::size_t need, const Checkpoint& check) {
  if (need <= v.capacity()) return;
  std::vector<T> bigger;
  bigger.reserve(std::max(need, 2 * v.capacity()));
  for (std::size_t at = 0; at < v.size(); at += kTagsPerCheck) {
    if (at > 0) check();
    const auto from = v.begin() + static_cast<std::ptrdiff_t>(at);
    bigger.insert(bigger.end(), from, from + static_cast<std::ptrdiff_t>(std::min(kTagsPerCheck, v.size() - at)));
  }
  v.swap(bigger);
}

// push_back for the arrays that grow with the text (see reserve_checked).
template <class T>
inline void push_checked(std::vector<T>& v, const std::type_identity_t<T>& item, const Checkpoint& check) {
  if (v.size() == v.capacity()) [[unlikely]] reserve_checked(v, v.size() + 1, check);
  v.push_back(item);
}

// assign(n, value) for arrays as long as the tags, filling kTagsPerCheck
// at a time with a check between.
template <class T>
void assign_checked(std::vector<T>& v, std::size_t n, const std::type_identity_t<T>& value, const Checkpoint& check) {
  v.clear();
  reserve_checked(v, n, check);
  for (std::size_t at = 0; at < n; at += kTagsPerCheck) {
    if (at > 0) check();
    v.insert(v.end(), std::min(kTagsPerCheck, n - at), value);
  }
}

}  // namespace quillet::fast
