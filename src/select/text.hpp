// Reading and comparing strs character by character, for attribute values
// and names. Nothing here runs Python code: str subclasses are read through
// their data, as str.
#pragma once

#include <Python.h>

#include <cstring>
#include <vector>

namespace quillet::select {

struct Text {
  int kind = PyUnicode_1BYTE_KIND;
  const void* data = "";
  Py_ssize_t size = 0;

  Py_UCS4 operator[](Py_ssize_t i) const { return PyUnicode_READ(kind, data, i); }
};

// The characters of `s`, a str. False with an error set when it cannot be
// read (a legacy str that fails to become ready).
inline bool text_of(PyObject* s, Text& t) {
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(s) < 0) return false;
#endif
  t.kind = PyUnicode_KIND(s);
  t.data = PyUnicode_DATA(s);
  t.size = PyUnicode_GET_LENGTH(s);
  return true;
}

inline Py_UCS4 ascii_lower(Py_UCS4 c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

inline bool is_space(Py_UCS4 c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

// Whether s[at, at + p.size) is p (at + p.size <= s.size).
inline bool same_at(const Text& s, Py_ssize_t at, const Text& p, bool ignore_case) {
  if (!ignore_case && s.kind == p.kind) {
    return std::memcmp(static_cast<const char*>(s.data) + at * s.kind, p.data,
                       static_cast<std::size_t>(p.size) * static_cast<std::size_t>(p.kind)) == 0;
  }
  for (Py_ssize_t i = 0; i < p.size; ++i) {
    Py_UCS4 x = s[at + i], y = p[i];
    if (ignore_case) x = ascii_lower(x), y = ascii_lower(y);
    if (x != y) return false;
  }
  return true;
}

inline bool equals(const Text& s, const Text& p, bool ignore_case) {
  return s.size == p.size && same_at(s, 0, p, ignore_case);
}

inline bool starts_with(const Text& s, const Text& p, bool ignore_case) {
  return s.size >= p.size && same_at(s, 0, p, ignore_case);
}

inline bool ends_with(const Text& s, const Text& p, bool ignore_case) {
  return s.size >= p.size && same_at(s, s.size - p.size, p, ignore_case);
}

// Whether p occurs in s. Trying each place in turn costs up to p.size
// comparisons a place, so a long p is looked for by Knuth, Morris and
// Pratt's search instead: each character of s is passed once, and a
// mismatch falls back along the borders of p (its prefixes that are also
// suffixes of what matched), in time linear in s and p together.
inline bool contains(const Text& s, const Text& p, bool ignore_case) {
  if (p.size > s.size) return false;
  if (p.size <= 16) {
    for (Py_ssize_t at = 0; at + p.size <= s.size; ++at) {
      if (same_at(s, at, p, ignore_case)) return true;
    }
    return false;
  }
  auto at = [ignore_case](const Text& t, Py_ssize_t i) { return ignore_case ? ascii_lower(t[i]) : t[i]; };
  // border[i]: the length of the longest proper border of p[0, i].
  std::vector<Py_ssize_t> border(static_cast<std::size_t>(p.size), 0);
  for (Py_ssize_t i = 1, k = 0; i < p.size; ++i) {
    while (k > 0 && at(p, i) != at(p, k)) k = border[static_cast<std::size_t>(k - 1)];
    if (at(p, i) == at(p, k)) ++k;
    border[static_cast<std::size_t>(i)] = k;
  }
  for (Py_ssize_t i = 0, k = 0; i < s.size; ++i) {
    while (k > 0 && at(s, i) != at(p, k)) k = border[static_cast<std::size_t>(k - 1)];
    if (at(s, i) == at(p, k) && ++k == p.size) return true;
  }
  return false;
}

// Whether p is one of the words of s, split at ASCII whitespace.
inline bool has_word(const Text& s, const Text& p, bool ignore_case) {
  Py_ssize_t i = 0;
  while (i < s.size) {
    while (i < s.size && is_space(s[i])) ++i;
    Py_ssize_t j = i;
    while (j < s.size && !is_space(s[j])) ++j;
    if (j > i && j - i == p.size && same_at(s, i, p, ignore_case)) return true;
    i = j;
  }
  return false;
}

// Whether the text is one or more comments, <!-- ... -->, and nothing else.
inline bool only_comments(const Text& s) {
  static constexpr char kOpen[] = "<!--";
  Py_ssize_t i = 0;
  if (s.size == 0) return false;
  while (i < s.size) {
    if (s.size - i < 7) return false;
    for (int k = 0; k < 4; ++k) {
      if (s[i + k] != static_cast<Py_UCS4>(kOpen[k])) return false;
    }
    Py_ssize_t j = i + 4;
    while (j + 2 < s.size && !(s[j] == '-' && s[j + 1] == '-' && s[j + 2] == '>')) ++j;
    if (j + 2 >= s.size) return false;
    i = j + 3;
  }
  return true;
}

// Whether the language tag `tag` falls in the range `range` by extended
// filtering (RFC 4647, 3.3.2), ASCII letters without case.
bool language_matches(const Text& tag, const Text& range);

}  // namespace quillet::select
