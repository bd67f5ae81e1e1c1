// Checkpoint: how the long loops of the fast path let their caller look in
// (to stop the work on request) without knowing who the caller is.
//
// A loop calls its checkpoint every so many characters or tags, the strides
// below, so that no stretch of work between two calls takes long whatever
// the input. The hook may throw; everything the index and the scan hold is
// then released by unwinding, and a new index or scan starts afresh.
#pragma once

#include <cstddef>

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

}  // namespace quillet::fast
