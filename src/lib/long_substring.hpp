// long_substring: a slice of a str that may be gigabytes long, made a piece
// at a time so that signal handlers can run between the pieces.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fast_parse/markup_index.hpp"
#include "python/py_failure.hpp"
#include "python/py_ref.hpp"

namespace quillet {

// How many characters are read or copied between two signal checks.
inline constexpr std::size_t kCharsPerSignalCheck = std::size_t{1} << 22;

// New reference: the str of the characters `s` of `input`, whose storage is
// `text`, as PyUnicode_Substring makes it, but read and copied
// kCharsPerSignalCheck characters at a time with `check()` between: one text
// run or value may be gigabytes long.
template <class CharT, class Check>
PyObject* long_substring(PyObject* input, const CharT* text, fast::Span s, Check&& check) {
  // The str takes the narrowest storage its characters fit, as any str does:
  // or-ing them tells which (a bit at 7, 8 or 16 or above is set exactly
  // when a character needs it).
  std::uint32_t bits = 0;
  for (std::size_t at = s.begin; at < s.end; at += kCharsPerSignalCheck) {
    const std::size_t stop = std::min<std::size_t>(at + kCharsPerSignalCheck, s.end);
    CharT any = 0;
    for (std::size_t i = at; i < stop; ++i) any |= text[i];
    bits |= any;
    check();
  }
  const Py_UCS4 widest = std::min<std::uint32_t>(bits, 0x10FFFF);
  PyRef out(QUILLET_PY_NEW(PyUnicode_New(static_cast<Py_ssize_t>(s.size()), widest)));
  // Pieces of the same width are copied as they are: PyUnicode_CopyCharacters
  // refuses to copy from a Latin-1 str into an ASCII one when a character
  // before the piece is not ASCII, whatever the piece holds.
  const bool same_width = PyUnicode_KIND(out.get()) == sizeof(CharT);
  for (std::size_t at = s.begin; at < s.end; at += kCharsPerSignalCheck) {
    const std::size_t n = std::min<std::size_t>(kCharsPerSignalCheck, s.end - at);
    if (same_width) {
      std::memcpy(static_cast<CharT*>(PyUnicode_DATA(out.get())) + (at - s.begin), text + at, n * sizeof(CharT));
    } else if (PyUnicode_CopyCharacters(out.get(), static_cast<Py_ssize_t>(at - s.begin), input,
                                        static_cast<Py_ssize_t>(at), static_cast<Py_ssize_t>(n)) < 0) {
      py_creation_failed(__FILE__, __LINE__);
    }
    check();
  }
  return out.release();
}

}  // namespace quillet
