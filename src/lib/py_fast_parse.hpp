// parse straight from a str's own storage to Python objects, via the markup index.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

namespace quillet {

// Where one element of a parse stands in its text, in characters: its start
// tag begins at `start`, its content is [content_begin, content_end) and its
// end tag (or its self-closing tag) ends just before `end`. A self-closing
// element's content is the empty range at `end`.
struct ElementSpan {
  std::uint32_t start, content_begin, content_end, end;
};

// The parse tree of `input` (an exact or derived str): a new list, or
// a new reference to None for the empty string. Returns null with a Python
// error set for a str with a lone surrogate (UnicodeEncodeError, as encoding
// it would raise), for texts of 2^32 - 1 characters or more (ValueError),
// and when a signal handler raises. Throws PythonCallFailed when the
// interpreter cannot create an object and std::bad_alloc when the engine
// runs out of memory; nothing built survives either. The module's state
// (init_py_state) must exist. With `spans`, it is filled with the span of
// every element of the tree, in document order.
PyObject* fast_parse_to_py(PyObject* input, std::vector<ElementSpan>* spans = nullptr);

}  // namespace quillet
