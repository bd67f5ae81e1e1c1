// Matching in the walk itself, for selectors that only look up the tree and
// back along the siblings.
//
// Most selectors ask of an element only what comes before it in document
// order: its ancestors, its earlier siblings, its own keys. Those are matched
// as the walk meets each element, with what the walk keeps for the open
// elements and their last children, so no index of the tree is built and
// select_one stops at the first match. Selectors that look at children or
// later siblings (:has, :empty, :nth-last-*, :last-*, :only-*, of-type
// counts) go to the index (match.hpp).
#pragma once

#include <Python.h>

#include "select/program.hpp"

namespace quillet::select {

// The elements of `tree` that `program` (a streamable one) matches, in
// document order and each once: a new list, or (with `first`) the first of
// them or None, the walk stopping there. nullptr with an error set. Throws
// std::bad_alloc.
PyObject* stream_select(PyObject* tree, const Program& program, bool first);

}  // namespace quillet::select
