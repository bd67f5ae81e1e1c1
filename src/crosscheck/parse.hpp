// The engine side of parse: UTF-8 text in, results of the root scan out.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "base/result.hpp"

namespace quillet {

// Scans `utf8` with the root detector list (one tag scope detector without
// filters): the top-level text runs and elements in text order, each element
// with its children filled in. Absent exactly for the empty text.
//
// Needs no interpreter. May throw InternalError (a broken detector contract)
// or std::bad_alloc.
std::optional<std::vector<Result>> parse_results(std::string_view utf8);

}  // namespace quillet
