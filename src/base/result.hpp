// Result: what one successful detection produced.
#pragma once

#include <optional>
#include <vector>

#include "base/chars.hpp"
#include "base/detector.hpp"
#include "types/dict.hpp"

namespace quillet {

struct Result {
  Detector detector;                           // a copy of the producing detector; PlainText for a text run
  std::optional<Chars> text;                   // the text the detector keeps (an element's content, ...)
  std::optional<Dict> attributes;              // the findings, by name
  std::optional<std::vector<Result>> children; // nested results, filled by consume_any

  Result();
  explicit Result(Detector d, std::optional<Chars> text = std::nullopt,
                  std::optional<Dict> attributes = std::nullopt,
                  std::optional<std::vector<Result>> children = std::nullopt);

  // Copying and destruction walk nested results and values with explicit
  // stacks, so that trees as deep as the input is long neither overflow the
  // call stack nor take quadratic time.
  Result(const Result& other);
  Result(Result&&) noexcept;
  Result& operator=(const Result& other);
  Result& operator=(Result&&) noexcept;
  ~Result();

  // A text run: PlainText detector, non-empty text, nothing else.
  static Result text_run(Chars text);
  bool is_text_run() const { return detector.is<PlainText>(); }

  // True when destroying this result involves nested results or values.
  bool has_nested() const;

  friend bool operator==(const Result& a, const Result& b);
};

}  // namespace quillet

// Value completes Dict's entry type; everyone who uses results needs both.
#include "types/value.hpp"  // IWYU pragma: export
