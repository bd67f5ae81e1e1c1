// language_matches: extended filtering of language tags (RFC 4647).
#include <vector>

#include "select/text.hpp"

namespace quillet::select {
namespace {

// The subtags of a language tag or range, split at '-'.
std::vector<Text> subtags(const Text& t) {
  std::vector<Text> out;
  Py_ssize_t start = 0;
  for (Py_ssize_t i = 0; i <= t.size; ++i) {
    if (i == t.size || t[i] == '-') {
      Text s = t;
      s.data = static_cast<const char*>(t.data) + start * t.kind;
      s.size = i - start;
      out.push_back(s);
      start = i + 1;
    }
  }
  return out;
}

bool is_star(const Text& t) { return t.size == 1 && t[0] == '*'; }

}  // namespace

bool language_matches(const Text& tag, const Text& range) {
  if (tag.size == 0 || range.size == 0) return false;
  const std::vector<Text> r = subtags(range), l = subtags(tag);
  if (!is_star(r[0]) && !equals(r[0], l[0], true)) return false;
  std::size_t i = 1, j = 1;
  while (i < r.size()) {
    if (is_star(r[i])) {
      ++i;
    } else if (j >= l.size()) {
      return false;
    } else if (equals(r[i], l[j], true)) {
      ++i, ++j;
    } else if (l[j].size == 1) {
      return false;  // a singleton ends what the range may skip
    } else {
      ++j;
    }
  }
  return true;
}

}  // namespace quillet::select
