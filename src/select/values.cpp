// ValueReader: an element's id, classes and attributes, read and compared.
#include "select/values.hpp"

#include <cstring>

#include "python/py_state.hpp"
#include "select/text.hpp"
#include "tree/walk.hpp"

namespace quillet::select {
namespace {

// Whether v can be one word of a whitespace-separated list: ~= with an
// empty value or one holding whitespace matches nothing.
bool is_word(const Text& v) {
  for (Py_ssize_t i = 0; i < v.size; ++i) {
    if (is_space(v[i])) return false;
  }
  return v.size > 0;
}

// Whether the attribute value s passes the test's operator and value.
bool compare(const Test& t, const Text& s) {
  Text v;
  text_of(t.value.get(), v);  // the program's own str, ready since it was made
  switch (t.op) {
    case Op::kExists:
      return true;
    case Op::kEquals:
      return equals(s, v, t.ignore_case);
    case Op::kWord:
      return is_word(v) && has_word(s, v, t.ignore_case);
    case Op::kDash:
      return equals(s, v, t.ignore_case) ||
             (s.size > v.size && s[v.size] == '-' && starts_with(s, v, t.ignore_case));
    case Op::kPrefix:
      return v.size > 0 && starts_with(s, v, t.ignore_case);
    case Op::kSuffix:
      return v.size > 0 && ends_with(s, v, t.ignore_case);
    case Op::kContains:
      return v.size > 0 && contains(s, v, t.ignore_case);
  }
  return false;
}

}  // namespace

void place_node_error(const char* who, const Where* parent) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  PyErr_NormalizeException(&type, &value, &trace);
  PyRef owned_type(type), owned_value(value), owned_trace(trace);
  const PyRef message(value ? PyObject_Str(value) : nullptr);
  const char* text = message ? PyUnicode_AsUTF8(message.get()) : nullptr;
  if (!text || std::strncmp(text, "a node is ", 10) != 0) {
    PyErr_Clear();
    PyErr_Restore(owned_type.release(), owned_value.release(), owned_trace.release());
    return;
  }
  if (parent) {
    PyErr_Format(PyExc_TypeError, "%s: %s (in the children of %s)", who, text,
                 describe(*parent).c_str());
  } else {
    PyErr_Format(PyExc_TypeError, "%s: %s (at the top level)", who, text);
  }
}

bool tag_of(PyObject* element, std::uint32_t number, const char* who, PyRef& tag) {
  const int found = tree::lookup(element, element_keys().tag, tag);  // may run a key's __eq__
  if (found < 0) return false;
  if (found && PyUnicode_Check(tag.get())) return true;
  if (found) {
    PyErr_Format(PyExc_TypeError, "%s: the tag of element %u in document order is %s, not str",
                 who, number, Py_TYPE(tag.get())->tp_name);
  } else {
    PyErr_Format(PyExc_TypeError, "%s: element %u in document order has no \"tag\"", who, number);
  }
  return false;
}

std::string describe(const Where& where) {
  std::string out = "element " + std::to_string(where.number) + " in document order";
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(where.tag, &size);
  if (utf8) {
    out += ", <" + std::string(utf8, static_cast<std::size_t>(std::min<Py_ssize_t>(size, 40))) + ">";
  } else {
    PyErr_Clear();
  }
  return out;
}

int ValueReader::type_error(const Where& where, PyObject* key, PyObject* value, bool item) {
  const bool list = key == element_keys().classes && !item;
  PyErr_Format(PyExc_TypeError, "%s: the %R of %s %s %s, not %s", who_, key,
               describe(where).c_str(), item ? "holds a" : "is", Py_TYPE(value)->tp_name,
               list ? "a list" : "str");
  return -1;
}

int ValueReader::str_value(PyObject* element, PyObject* key, const Where& where, PyRef& value) {
  const int found = tree::lookup(element, key, value);  // may run a key's __eq__
  if (found <= 0) return found;
  return PyUnicode_Check(value.get()) ? 1 : type_error(where, key, value.get(), false);
}

int ValueReader::id_or_class(const Test& t, PyObject* element, const Where& where) {
  Text want, have;
  text_of(t.value.get(), want);
  PyRef value;
  if (t.kind == Kind::kId) {
    const int found = str_value(element, element_keys().id, where, value);
    if (found <= 0) return found;
    if (!text_of(value.get(), have)) return -1;
    return equals(have, want, false);
  }
  const int found = classes_of(element, where, value);
  return found <= 0 ? found : has_class(value.get(), want, false, where);
}

int ValueReader::classes_of(PyObject* element, const Where& where, PyRef& classes) {
  PyObject* key = element_keys().classes;
  const int found = tree::lookup(element, key, classes);  // may run a key's __eq__
  if (found <= 0) return found;
  if (PyUnicode_Check(classes.get())) return 0;  // an attribute named "classes" replaced the list
  return PyList_Check(classes.get()) ? 1 : type_error(where, key, classes.get(), false);
}

int ValueReader::has_class(PyObject* classes, const Text& want, bool ignore_case,
                           const Where& where) {
  // The items are read borrowed (held on a free-threaded build): comparing
  // strs runs no code.
  Text have;
  tree::Item unused, item;
  for (Py_ssize_t pos = 0; tree::next_item(classes, pos, unused, item);) {
    if (!PyUnicode_Check(item)) return type_error(where, element_keys().classes, item, true);
    if (!text_of(item, have)) return -1;
    if (equals(have, want, ignore_case)) return 1;
  }
  return 0;
}

int ValueReader::attribute(const Test& t, PyObject* element, const Where& where) {
  const ElementKeys& k = element_keys();
  PyRef value;
  Text have;
  switch (t.source) {
    case Source::kNone:
      return 0;
    case Source::kOther:
    case Source::kId:
    case Source::kStyle: {
      PyObject* key = t.source == Source::kOther ? t.name.get()
                      : t.source == Source::kId  ? k.id
                                                 : k.style;
      const int found = str_value(element, key, where, value);
      if (found <= 0) return found;
      if (!text_of(value.get(), have)) return -1;
      if (t.source != Source::kOther && have.size == 0) return 0;  // "" stands for none
      return compare(t, have);
    }
    case Source::kClass:
      break;
  }
  const int found = classes_of(element, where, value);
  if (found <= 0) return found;
  PyObject* classes = value.get();
  Py_ssize_t size = 0;
  bool first_empty = false;
  tree::Item unused, item;
  for (Py_ssize_t pos = 0; tree::next_item(classes, pos, unused, item); ++size) {
    if (!PyUnicode_Check(item)) return type_error(where, k.classes, item, true);
    if (size == 0) first_empty = PyUnicode_GET_LENGTH(item.get()) == 0;
  }
  if (size == 0 || (size == 1 && first_empty)) return 0;  // [""] stands for no class attribute
  if (t.op == Op::kWord) {
    Text want;
    text_of(t.value.get(), want);
    return is_word(want) ? has_class(classes, want, t.ignore_case, where) : 0;
  }
  // Joined, the classes are the attribute's text.
  if (!space_) {
    space_ = PyRef(PyUnicode_FromStringAndSize(" ", 1));
    if (!space_) return -1;
  }
  const PyRef joined(PyUnicode_Join(space_.get(), classes));
  if (!joined || !text_of(joined.get(), have)) return -1;
  return compare(t, have);
}

int ValueReader::own_language(PyObject* element, const Where& where, PyRef& value) {
  if (!lang_key_) {
    lang_key_ = PyRef(PyUnicode_InternFromString("lang"));
    if (!lang_key_) return -1;
  }
  const int found = str_value(element, lang_key_.get(), where, value);
  if (found <= 0) return found;
  Text ready;  // so that in_ranges can read it
  return text_of(value.get(), ready) ? 1 : -1;
}

bool in_ranges(const Test& t, PyObject* language) {
  // Both ready: the language since own_language read it, the ranges since
  // the program was made.
  Text tag, range;
  text_of(language, tag);
  for (const PyRef& r : t.ranges) {
    text_of(r.get(), range);
    if (language_matches(tag, range)) return true;
  }
  return false;
}

}  // namespace quillet::select
