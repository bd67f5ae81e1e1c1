// A compiled selector: what quillet_tree._selectors reads a selector into,
// held as C++ structures for the matcher.
//
// The Python half hands over plain tuples (see _selectors.py for their
// shape); read_program checks every part of them, so a malformed program is
// an error, never a crash. A Program holds its strs and is read-only once
// made, so a matcher interrupted by a signal handler can share it with one
// the handler starts.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "python/py_ref.hpp"

namespace quillet::select {

// How a compound selector relates to the one before it.
enum class Comb : std::uint8_t { kNone, kDescendant, kChild, kNext, kLater };

enum class Kind : std::uint8_t {
  kId = 1, kClass, kAttr, kRoot, kEmpty, kNth, kIs, kNot, kHas, kLang, kNever,
};

enum class Op : std::uint8_t { kExists, kEquals, kWord, kDash, kPrefix, kSuffix, kContains };

// Where an attribute selector finds its value in an element dict.
enum class Source : std::uint8_t {
  kOther,  // the key of that name
  kId,     // "id": "" stands for no attribute
  kStyle,  // "style": likewise
  kClass,  // "classes", joined with spaces; [""] stands for no attribute
  kNone,   // a key the tree itself uses ("tag", "children", ...): no attribute
};

struct Test {
  Kind kind = Kind::kNever;
  Op op = Op::kExists;
  Source source = Source::kOther;
  bool ignore_case = false;  // ASCII letters compare without case
  bool from_end = false;     // :nth-last-*
  bool of_type = false;      // :nth-*-of-type
  std::int64_t a = 0, b = 0;  // An+B, both within +-2**32
  int list = -1;             // :is/:not/:has, or the S of :nth-child(An+B of S)
  std::size_t serial = 0;    // the test's number in its program
  PyRef name;                // the attribute's name
  PyRef value;               // the id, class or attribute value
  std::vector<PyRef> ranges; // :lang()
};

struct Compound {
  PyRef tag;  // nullptr for any
  std::vector<Test> tests;
  std::size_t serial = 0;  // the compound's number in its program
};

struct Part {
  Comb comb;
  Compound compound;
};

struct Complex {
  std::vector<Part> parts;
};

struct SelectorList {
  bool relative = false;
  std::vector<Complex> items;
};

struct Program {
  std::vector<SelectorList> lists;  // each after the lists it names; the last is the selector
  std::size_t compounds = 0;
  std::size_t tests = 0;
  bool uses_empty = false;
  // Nothing in it looks at an element's children or later siblings (no
  // :has, :empty, :nth-last-*, of-type counts), so that the walk alone can
  // match it (stream.hpp).
  bool streamable = true;
};

// The memory a match may take for what it keeps of each element or each
// open element (the states of match.hpp and stream.hpp), besides the tree's
// index. A match works out what it will need before it takes it, from the
// selector and the tree's size (match.hpp) or depth so far (stream.hpp),
// and raises MemoryError when that is more.
inline constexpr std::size_t kMatchMemory = std::size_t{1} << 30;

// Whether `count` times `each` bytes fit in kMatchMemory. When not, false
// with a MemoryError that gives the selector's size, `each` per `unit`
// ("element") and `count`; `who` starts the message ("select()").
bool fits_in_memory(const Program& p, const char* who, std::size_t each, const char* unit,
                    std::size_t count);

// Reads the tuples of `program` (borrowed). nullptr with an error set when
// they are malformed. Throws std::bad_alloc.
std::unique_ptr<Program> read_program(PyObject* program);

}  // namespace quillet::select
