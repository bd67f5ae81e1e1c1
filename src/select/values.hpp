// Reading what a selector asks of one element dict: its id, classes and
// attributes, checked for type, and compared with the selector's values.
// Both matchers read elements through here, so an element answers a
// selector the same way whichever of them asks.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

#include "python/py_ref.hpp"
#include "select/program.hpp"
#include "select/text.hpp"

namespace quillet::select {

// Where an element stands, for error messages: its number in document order
// and its tag (a str, borrowed).
struct Where {
  std::uint32_t number;
  PyObject* tag;
};

// "element 3 in document order, <p>"
std::string describe(const Where& where);

// Names the place of a node of the wrong type in the TypeError the walk set
// ("a node is a str or a dict, not int"): in the children of `parent`, or at
// the top level when it is nullptr. Other errors are left as they are.
void place_node_error(const char* who, const Where* parent);

// The tag of the element numbered `number`: true with `tag` set to a str;
// false with an error set (TypeError for a tag missing or of another type,
// or what a key's __eq__ raised). `who` starts the message.
bool tag_of(PyObject* element, std::uint32_t number, const char* who, PyRef& tag);

// Whether the position `pos` (from 1) among siblings is a*n + b for some n >= 0.
inline bool picks(std::int64_t a, std::int64_t b, std::int64_t pos) {
  if (a == 0) return pos == b;
  if (a > 0) return pos >= b && (pos - b) % a == 0;
  return pos <= b && (b - pos) % -a == 0;
}

// Whether `language` (a str, an element's language) falls in one of the
// ranges of the :lang() test `t`.
bool in_ranges(const Test& t, PyObject* language);

class ValueReader {
 public:
  // `who` starts error messages ("select()").
  explicit ValueReader(const char* who) : who_(who) {}

  // Each returns 1 when the element passes the test, 0 when not, -1 with an
  // error set: TypeError for a value of the wrong type, or what code run by
  // a dict lookup (a key's __eq__) raised. `element` is held by the caller.
  int id_or_class(const Test& t, PyObject* element, const Where& where);
  int attribute(const Test& t, PyObject* element, const Where& where);
  // The element's own "lang": 1 with `value` set to a str, 0 when it has
  // none (its parent's language is its own), -1 with an error set.
  int own_language(PyObject* element, const Where& where, PyRef& value);

 private:
  // The str value of `key`: 1 with `value` set, 0 when missing, -1 with an error set.
  int str_value(PyObject* element, PyObject* key, const Where& where, PyRef& value);
  int type_error(const Where& where, PyObject* key, PyObject* value, bool item);
  // The element's "classes" list: 1 with `classes` set, 0 when it has none
  // (no key, or a str an attribute named "classes" put there), -1 with an
  // error set (TypeError for another type).
  int classes_of(PyObject* element, const Where& where, PyRef& classes);
  // Whether `want` is an item of the list `classes`: 1 or 0, -1 with
  // TypeError for an item before it that is no str.
  int has_class(PyObject* classes, const Text& want, bool ignore_case, const Where& where);

  const char* who_;
  PyRef space_;     // " ", to join classes with
  PyRef lang_key_;  // "lang"
};

}  // namespace quillet::select
