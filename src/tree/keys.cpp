// The element keys, interned once: the same objects parse puts in its dicts.
#include "tree/keys.hpp"

#include <iterator>

namespace quillet::tree {
namespace {
Keys g_keys = {};
}  // namespace

bool make_keys() {
  if (g_keys.tag) return true;
  static constexpr const char* kNames[] = {"tag", "id", "classes", "style", "is_self_closing",
                                           "children"};
  PyObject* made[std::size(kNames)] = {};
  for (std::size_t i = 0; i < std::size(kNames); ++i) {
    made[i] = PyUnicode_InternFromString(kNames[i]);
    if (!made[i]) {
      for (std::size_t j = 0; j < i; ++j) Py_DECREF(made[j]);
      return false;
    }
  }
  g_keys = Keys{made[0], made[1], made[2], made[3], made[4], made[5]};
  return true;
}

const Keys& keys() { return g_keys; }

}  // namespace quillet::tree
